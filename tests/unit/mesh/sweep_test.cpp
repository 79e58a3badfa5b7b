// The spread sweep, its delivery queues and its loop: requests of a bounded size, each
// built once, to every peer, with a bounded number of deliveries at a time, and a peer
// that is slow delaying only itself.
#include <algorithm>
#include <atomic>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>

#include "spread_fixture.hpp"
#include "sweep.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::mesh {
namespace {

using testing::entry;
using testing::entry_text;
using testing::FakeLineServer;

std::string request_of(const std::vector<std::string>& entries, const std::string& from = "\"gate-a\"") {
    std::string list;
    for (const auto& e : entries) list += (list.empty() ? "" : ",") + e;
    return R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)" + list + R"(],"from":)" +
           from + "}}";
}

// The forward copies of `batch`, as a store queues them for a sweep: each entry received
// from a peer with a hop more, so that its copy has the entry's own.
std::vector<gossip::PendingCopy> copies_of(std::vector<gossip::GossipEntry> batch) {
    auto store = ::quillfern::testing::make_started_store();
    for (gossip::GossipEntry& received : batch) {
        ++received.ttl;
        EXPECT_EQ(store->ingest(std::move(received), "gate-b"), gossip::IngestOutcome::Accepted);
    }
    std::vector<gossip::PendingCopy> copies = store->take_pending_copies();
    EXPECT_EQ(copies.size(), batch.size());
    return copies;
}

// The one request of a batch well within the bound.
std::string spread_request(std::string_view node_id, const std::vector<gossip::GossipEntry>& batch) {
    const SpreadRequests split = spread_requests(node_id, copies_of(batch));
    EXPECT_EQ(split.requests.size(), 1u);
    EXPECT_EQ(split.dropped, 0u);
    return split.requests.empty() ? std::string() : split.requests[0].text;
}

TEST(SpreadRequest, IsTheCompactGossipSpreadRequestOfTheBatch) {
    const std::vector<gossip::GossipEntry> batch{entry("k2", 4), entry("k1", 6)};
    const std::string request = spread_request("gate-a", batch);
    EXPECT_EQ(request, request_of({entry_text("k2", 4), entry_text("k1", 6)}));

    // The same text as the JSON forms of the records written whole.
    json::Value whole{{"id", nullptr},
                      {"jsonrpc", "2.0"},
                      {"method", "gossip.spread"},
                      {"params", {{"entries", gossip::entries_to_json(batch)}, {"from", "gate-a"}}}};
    EXPECT_EQ(request, json::to_string(whole));
    EXPECT_EQ(spread_request("gate \"a\"\n", batch),
              request_of({entry_text("k2", 4), entry_text("k1", 6)}, R"("gate \"a\"\n")"));
}

// ---- Requests within a bound -----------------------------------------------------------------

// An entry as `entry` makes it, with `controls` bytes U+0001 after its nonce: six bytes
// each once written.
struct EntryShape {
    std::string key;
    std::size_t controls = 0;
};

gossip::GossipEntry entry_of(const EntryShape& shape) {
    gossip::GossipEntry e = entry(shape.key);
    e.nonce += std::string(shape.controls, '\x01');
    return e;
}

std::string text_of(const EntryShape& shape) {
    std::string text = entry_text(shape.key);
    std::string escapes;
    for (std::size_t i = 0; i < shape.controls; ++i) escapes += R"(\u0001)";
    text.insert(text.find(R"(","origin_gate")"), escapes);
    return text;
}

struct SplitCase {
    friend void PrintTo(const SplitCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::vector<EntryShape> batch;
    std::vector<std::size_t> bound_of;  // the bound: the size of one request of these entries ...
    int slack;                          // ... plus this
    std::vector<std::vector<std::size_t>> requests;
    std::size_t dropped;
};

class SplitAtTheBound : public ::testing::TestWithParam<SplitCase> {};

TEST_P(SplitAtTheBound, KeepsQueueOrderAndEveryRequestExact) {
    const SplitCase& c = GetParam();
    // The sender's id is written with an escape too: the bound counts it as written.
    const std::string from = R"("gate-\u0001")";
    auto request_with = [&](const std::vector<std::size_t>& indices) {
        std::vector<std::string> texts;
        for (std::size_t i : indices) texts.push_back(text_of(c.batch[i]));
        return request_of(texts, from);
    };
    const std::size_t bound = request_with(c.bound_of).size() + c.slack;
    auto expect_split = [&](const SpreadRequests& split) {
        ASSERT_EQ(split.requests.size(), c.requests.size());
        for (std::size_t r = 0; r < c.requests.size(); ++r) {
            EXPECT_EQ(split.requests[r].text, request_with(c.requests[r])) << "request " << r;
            EXPECT_EQ(split.requests[r].entries, c.requests[r].size()) << "request " << r;
            EXPECT_LE(split.requests[r].text.size(), bound) << "request " << r;
        }
        EXPECT_EQ(split.dropped, c.dropped);
    };
    std::vector<gossip::GossipEntry> batch;
    for (const EntryShape& shape : c.batch) batch.push_back(entry_of(shape));
    expect_split(spread_requests("gate-\x01", copies_of(batch), bound));
}

const std::vector<EntryShape> FOUR{{"k1"}, {"k2"}, {"k3"}, {"k4"}};

INSTANTIATE_TEST_SUITE_P(
    Cases, SplitAtTheBound,
    ::testing::Values(
        SplitCase{"AllInOneAtTheirExactSize", FOUR, {0, 1, 2, 3}, 0, {{0, 1, 2, 3}}, 0},
        SplitCase{"AByteShortStartsANewRequest", FOUR, {0, 1, 2, 3}, -1, {{0, 1, 2}, {3}}, 0},
        SplitCase{"PairsAtTheirExactSize", FOUR, {0, 1}, 0, {{0, 1}, {2, 3}}, 0},
        SplitCase{"AByteShortOfAPair", FOUR, {0, 1}, -1, {{0}, {1}, {2}, {3}}, 0},
        SplitCase{"EscapesCountAsWritten", {{"k1"}, {"k2", 40}, {"k3"}}, {0, 1}, -1, {{0}, {1}, {2}}, 0},
        SplitCase{"ALargeEntryGoesAlone", {{"k1"}, {"k2", 100}, {"k3"}}, {1}, 0, {{0}, {1}, {2}}, 0},
        SplitCase{
            "AnEntryTooLargeAloneIsLeftOutInPlace", {{"k1"}, {"k2", 400}, {"k3"}, {"k4"}}, {0, 2}, 0, {{0, 2}, {3}}, 1},
        SplitCase{"NothingFits", {{"k1"}, {"k2"}}, {0}, -1, {}, 2},
        SplitCase{"AnEmptyBatchGivesNoRequest", {}, {}, 0, {}, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class Sweep : public testing::SpreadTest {
protected:
    void queue(const std::string& key) {
        ASSERT_EQ(store_->ingest(entry(key), "gate-b"), gossip::IngestOutcome::Accepted);
    }
    std::shared_ptr<DeliveryQueues> queues(SweepLimits limits = {}) {
        return DeliveryQueues::create(ctx_.get_executor(), store_, limits);
    }
    void sweep() {
        run(run_sweep(store_, *deliveries_));
        drain();  // the deliveries it started
    }
    void sweep_within(SweepLimits limits) {
        auto deliveries = queues(limits);
        run(run_sweep(store_, *deliveries));
        drain();
    }
    std::vector<std::string> info_events() const {
        std::vector<std::string> out;
        for (const auto& line : events())
            if (line.rfind("DEBUG", 0) != 0) out.push_back(line);
        return out;
    }

    std::shared_ptr<gossip::GossipStore> store_ = testing::make_started_store();
    std::shared_ptr<DeliveryQueues> deliveries_ = queues();
};

const std::string ACCEPTED_ONE = R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"
                                 "\n";

TEST_F(Sweep, SendsOneSharedRequestToEveryListedPeerDuplicatesIncluded) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address() + "," + peer->address());
    queue("k1");
    queue("k2");
    sweep();

    const std::string sent = "\xEC\x01" + request_of({entry_text("k1", 4), entry_text("k2", 4)}) + "\n";
    EXPECT_EQ(peer->received(), (std::vector<std::string>{sent, sent}));
    EXPECT_EQ(info_events(),
              std::vector<std::string>{
                  " INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries=2 peers=2"});
    EXPECT_TRUE(take_pending(*store_).empty());
    EXPECT_EQ(store_->peer_stats().at(peer->address()).entries_sent, 2u);
}

TEST_F(Sweep, WithoutPeersTheCopiesStayQueuedForALaterSweep) {
    queue("k1");
    sweep();
    EXPECT_TRUE(events().empty());

    queue("k2");
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    sweep();
    EXPECT_EQ(peer->received(),
              std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4), entry_text("k2", 4)}) + "\n"});
}

TEST_F(Sweep, WithNothingPendingNoRequestIsBuilt) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    sweep();
    EXPECT_TRUE(info_events().empty());
    EXPECT_EQ(peer->connections(), 0u);
}

TEST_F(Sweep, EachBatchGoesOutOnce) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    queue("k1");
    sweep();
    sweep();
    queue("k2");
    sweep();
    EXPECT_EQ(peer->received(), (std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n",
                                                          "\xEC\x01" + request_of({entry_text("k2", 4)}) + "\n"}));
}

TEST_F(Sweep, PeersFromReedhornGetTheBatchAtTheirGossipAddress) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    port_env_.set(std::to_string(peer->port()));
    // 127.0.0.1 is refused as a peer host; "127.1" names the same address.
    auto reedhorn = start_reedhorn(FakeLineServer::answer(R"({"result":{"peers":[{"addr":"127.1:9"}]}})"
                                                          "\n"));
    queue("k1");
    sweep();
    EXPECT_EQ(peer->received(), std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n"});
    EXPECT_EQ(store_->peer_stats().at("127.1:" + std::to_string(peer->port())).entries_sent, 1u);
}

TEST_F(Sweep, DeliversEachRequestToEveryPeerAndCountsEachOnItsOwn) {
    auto first = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    auto second = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(first->address() + "," + second->address());
    queue("k1");
    queue("k2");
    // Room for one entry per request; one delivery at a time makes the order plain: a
    // peer that has just answered goes before those not known to answer yet.
    const std::string one = request_of({entry_text("k1", 4)});
    sweep_within(SweepLimits{one.size(), 1});

    const std::vector<std::string> sent{"\xEC\x01" + one + "\n", "\xEC\x01" + request_of({entry_text("k2", 4)}) + "\n"};
    EXPECT_EQ(first->received(), sent);
    EXPECT_EQ(second->received(), sent);
    const std::string info =
        " INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries=1 peers=2";
    auto delivered = [](const FakeLineServer& peer) {
        return "DEBUG quillfern_server::spread: Gossip spread delivered via TCP peer=" + peer.address() + " accepted=1";
    };
    EXPECT_EQ(events(),
              (std::vector<std::string>{
                  "DEBUG quillfern_server::spread: Discovered peers from QUILLFERN_PEERS count=2 source=\"env\"", info,
                  info, delivered(*first), delivered(*first), delivered(*second), delivered(*second)}));
    EXPECT_EQ(store_->peer_stats().at(first->address()).entries_sent, 2u);
    EXPECT_EQ(store_->peer_stats().at(second->address()).entries_sent, 2u);
}

TEST_F(Sweep, EachPeerGetsTheRequestsOneAtATimeInQueueOrder) {
    std::vector<std::unique_ptr<FakeLineServer>> peers;
    std::string listed;
    for (int i = 0; i < 3; ++i) {
        peers.push_back(FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE)));
        listed += (listed.empty() ? "" : ",") + peers.back()->address();
    }
    peers_env_.set(listed);
    const std::vector<std::string> keys{"k1", "k2", "k3"};
    for (const std::string& key : keys) queue(key);
    const std::string one = request_of({entry_text("k1", 4)});
    sweep_within(SweepLimits{one.size(), kMaxDeliveriesInFlight});

    std::vector<std::string> sent;
    for (const std::string& key : keys) sent.push_back("\xEC\x01" + request_of({entry_text(key, 4)}) + "\n");
    for (const auto& peer : peers) {
        EXPECT_EQ(peer->received(), sent) << peer->address();
        EXPECT_EQ(peer->peak_open(), 1u) << peer->address();
        EXPECT_EQ(store_->peer_stats().at(peer->address()).entries_sent, keys.size());
    }
    EXPECT_EQ(info_events(),
              std::vector<std::string>(
                  keys.size(),
                  " INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries=1 peers=3"));
}

TEST_F(Sweep, EntriesTooLargeForAnyRequestAreCountedOncePerSweep) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    const std::string long_key(200, 'x');
    queue("k1");
    queue(long_key + "1");
    queue("k2");
    queue(long_key + "2");
    const std::string both = request_of({entry_text("k1", 4), entry_text("k2", 4)});
    sweep_within(SweepLimits{both.size(), kMaxDeliveriesInFlight});

    EXPECT_EQ(peer->received(), std::vector<std::string>{"\xEC\x01" + both + "\n"});
    EXPECT_EQ(info_events(),
              (std::vector<std::string>{
                  " WARN quillfern_server::spread: Gossip entries too large for any spread request dropped count=2 "
                  "limit_bytes=" +
                      std::to_string(both.size()),
                  " INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries=2 peers=1"}));
}

// Copies the store never queued, being too large for any request of its bound, are in the
// sweep's count beside the ones it leaves out itself, whether or not it has peers or a batch.
TEST_F(Sweep, CopiesTheStoreNeverQueuedAreCountedInTheSweepsReport) {
    constexpr std::size_t kStoreBound = 4096, kSweepBound = 2048;
    auto store = testing::make_started_store("gate-a", testing::FakeClock::at(testing::kNow),
                                             gossip::StoreLimits{.request_bytes = kStoreBound});
    auto ingest = [&](const EntryShape& shape) {
        ASSERT_EQ(store->ingest(entry_of(shape), "gate-b"), gossip::IngestOutcome::Accepted);
    };
    auto sweep_store = [&] {
        auto deliveries = DeliveryQueues::create(ctx_.get_executor(), store, SweepLimits{kSweepBound});
        run(run_sweep(store, *deliveries));
        drain();
    };
    const std::string too_large =
        " WARN quillfern_server::spread: Gossip entries too large for any spread request dropped count=";
    const std::string limit = " limit_bytes=" + std::to_string(kSweepBound);

    // No peers: the copies that were queued stay, the one never queued is reported.
    ingest({"k1"});
    ingest({"big1", 1000});  // six thousand bytes once written: past the store's bound
    sweep_store();
    EXPECT_EQ(info_events(), std::vector<std::string>{too_large + "1" + limit});

    // A copy the store queued but the sweep's smaller bound leaves out counts with it.
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    ingest({"mid", 300});  // past 2 KiB once written, within the store's room
    ingest({"big2", 1000});
    sweep_store();
    EXPECT_EQ(peer->received(), std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n"});
    EXPECT_EQ(info_events(),
              (std::vector<std::string>{
                  too_large + "1" + limit, too_large + "2" + limit,
                  " INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries=1 peers=1"}));

    // Nothing queued at all: still reported, and no request is built.
    ingest({"big3", 1000});
    sweep_store();
    EXPECT_EQ(info_events().back(), too_large + "1" + limit);
    EXPECT_EQ(info_events().size(), 4u);
    EXPECT_EQ(peer->connections(), 1u);
}

// A peer sent entries whose nonce and origin are 1 KiB of U+0001 each, six bytes apiece once
// written: 8,000 of them are past a receiver's 64 MiB line limit in one request.
TEST_F(Sweep, EntriesThatGrowWhenWrittenReachThePeerInRequestsWithinTheBound) {
    // Room for all of them in the queue, however it counts them.
    auto store = testing::make_started_store("gate-a", testing::FakeClock::at(testing::kNow),
                                             gossip::StoreLimits{std::size_t{256} << 20});
    const std::string controls(gossip::kMaxPeerTextBytes, '\x01');
    constexpr std::size_t kHostile = 8000, kGood = 100;
    for (std::size_t i = 0; i < kHostile; ++i) {
        gossip::GossipEntry hostile = entry("hostile");
        const std::string serial = std::to_string(i);
        hostile.nonce = controls.substr(serial.size()) + serial;
        hostile.origin_gate = gossip::share_text(controls);
        hostile.version = i + 1;
        ASSERT_EQ(store->ingest(std::move(hostile), "gate-b"), gossip::IngestOutcome::Accepted);
        if (i % (kHostile / kGood) == 0) {
            ASSERT_EQ(store->ingest(entry("good-" + std::to_string(i / (kHostile / kGood))), "gate-b"),
                      gossip::IngestOutcome::Accepted);
        }
    }
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    // One delivery at a time: each request's write has its time limit to itself, also
    // under the sanitizers.
    auto deliveries = DeliveryQueues::create(ctx_.get_executor(), store, SweepLimits{kMaxSpreadRequestBytes, 1});
    run(run_sweep(store, *deliveries));
    drain();

    const std::string head = R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)";
    const std::string tail = R"(],"from":"gate-a"}})";
    std::vector<std::string> good;
    std::size_t hostile = 0, written = 0;
    for (const std::string& received : peer->received()) {
        ASSERT_GE(received.size(), 3u);
        ASSERT_EQ(received.substr(0, 2), "\xEC\x01");
        ASSERT_EQ(received.find('\n'), received.size() - 1);
        const std::string request = received.substr(2, received.size() - 3);
        written += request.size();
        ASSERT_LE(request.size(), kMaxSpreadRequestBytes);
        ASSERT_EQ(request.substr(0, head.size()), head);
        ASSERT_EQ(request.substr(request.size() - tail.size()), tail);
        auto value = json::parse(request);
        ASSERT_TRUE(value.has_value());
        ASSERT_EQ(value->size(), 4u);
        for (const json::Value& e : (*value)["params"]["entries"]) {
            const std::string key = e.at("key").get<std::string>();
            if (key == "hostile") {
                ++hostile;
            } else {
                good.push_back(key);
            }
        }
    }
    EXPECT_GT(written, std::size_t{64} << 20);  // what one request would have been
    EXPECT_EQ(hostile, kHostile);
    ASSERT_EQ(good.size(), kGood);
    for (std::size_t i = 0; i < kGood; ++i) EXPECT_EQ(good[i], "good-" + std::to_string(i));
    EXPECT_EQ(store->peer_stats().at(peer->address()).entries_sent, peer->received().size());
}

// A peer that answers only when the test lets it, under six address texts that all name it:
// the connections it holds at once are the deliveries under way.
TEST_F(Sweep, EndsBeforeItsDeliveriesWhichRunAtMostTheBoundAtOnce) {
    constexpr std::size_t kBound = 3;
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer_when_released(ACCEPTED_ONE));
    const std::string port = std::to_string(peer->port());
    std::vector<std::string> addresses;
    for (const char* host : {"127.0.0.1", "127.1", "127.0.1", "0x7f000001", "2130706433", "0x7f.1"}) {
        addresses.push_back(std::string(host) + ":" + port);
    }
    std::string listed;
    for (const std::string& address : addresses) listed += (listed.empty() ? "" : ",") + address;
    peers_env_.set(listed);
    queue("k1");

    auto deliveries = queues(SweepLimits{kMaxSpreadRequestBytes, kBound});
    // The sweep ends while no delivery can have ended: the peer answers none yet.
    run(run_sweep(store_, *deliveries));
    EXPECT_EQ(deliveries->in_flight(), kBound);

    std::thread runner([this] { drain(); });
    struct Join {
        FakeLineServer& peer;
        std::thread& runner;
        std::size_t all;
        ~Join() {
            peer.release(all);
            if (runner.joinable()) runner.join();
        }
    } join{*peer, runner, addresses.size()};
    for (std::size_t answered = 0; answered < addresses.size(); ++answered) {
        // Each answer lets the next delivery in, up to the bound.
        ASSERT_TRUE(peer->wait_for_requests(std::min(answered + kBound, addresses.size()))) << answered;
        peer->release(answered + 1);
    }
    runner.join();
    EXPECT_EQ(deliveries->in_flight(), 0u);
    EXPECT_EQ(deliveries->held_bytes(), 0u);
    EXPECT_EQ(peer->peak_open(), kBound);
    EXPECT_EQ(peer->connections(), addresses.size());
    for (const std::string& address : addresses) EXPECT_EQ(store_->peer_stats().at(address).entries_sent, 1u);
}

// The deliveries run on a thread of the test's own while sweeps are started on it: a peer
// that holds its reply ("slow") beside one that answers ("good").
class SlowPeer : public Sweep {
protected:
    void SetUp() override {
        slow_ = FakeLineServer::on_tcp_port(FakeLineServer::answer_when_released(ACCEPTED_ONE));
        // The good peer waits for the delivery to close: its end is the delivery's.
        good_ = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE, false));
        peers_env_.set(slow_->address() + "," + good_->address());
        runner_ = std::thread([this] {
            auto work = asio::make_work_guard(ctx_);
            ctx_.restart();
            ctx_.run();
        });
    }
    void TearDown() override {
        slow_->release(1000);
        ctx_.stop();
        if (runner_.joinable()) runner_.join();
    }
    void on_runner(asio::awaitable<void> task) {
        std::promise<void> done;
        asio::co_spawn(ctx_, std::move(task), [&](const std::exception_ptr&) { done.set_value(); });
        done.get_future().wait();
    }
    // One sweep on the runner's thread, `key` queued for it; the good peer's delivery has
    // ended before this returns (what is left of it runs before the next task on the runner).
    void sweep_with(const std::string& key, DeliveryQueues& deliveries) {
        queue(key);
        const std::size_t before = good_->received().size();
        on_runner(run_sweep(store_, deliveries));
        ASSERT_TRUE(good_->wait_for_requests(before + 1)) << key;
        ASSERT_TRUE(good_->wait_for_all_closed()) << key;
    }
    static std::string sent(const std::string& key) { return "\xEC\x01" + request_of({entry_text(key, 4)}) + "\n"; }

    std::unique_ptr<FakeLineServer> slow_, good_;
    std::thread runner_;
};

TEST_F(SlowPeer, DelaysOnlyItselfAndGetsItsRequestsInOrderOnceItAnswers) {
    auto deliveries = queues();
    for (const std::string key : {"k1", "k2", "k3"}) sweep_with(key, *deliveries);
    EXPECT_EQ(good_->received(), (std::vector<std::string>{sent("k1"), sent("k2"), sent("k3")}));
    ASSERT_TRUE(slow_->wait_for_requests(1));
    EXPECT_EQ(slow_->connections(), 1u);  // one delivery in flight, the next two queued
    slow_->release(3);
    on_runner(deliveries->idle());
    EXPECT_EQ(slow_->received(), (std::vector<std::string>{sent("k1"), sent("k2"), sent("k3")}));
    EXPECT_EQ(slow_->peak_open(), 1u);
}

// Nine address texts of the held peer crowd eight deliveries: peers not known to answer
// hold at most seven, so a good peer that answered once finds the eighth free although
// two of the crowd came to wait before it.
TEST_F(SlowPeer, APeerThatAnswersFindsADeliveryKeptForItBesideACrowd) {
    const std::string port = std::to_string(slow_->port());
    std::string listed = good_->address();
    for (const char* host : {"127.0.0.1", "127.1", "127.0.1", "0x7f000001", "2130706433", "0x7f.1", "0x7f.0.1",
                             "0x7f.0.0.1", "127.0.0.0x1"}) {
        listed += std::string(",") + host + ":" + port;
    }
    peers_env_.set(listed);
    auto deliveries = queues(SweepLimits{kMaxSpreadRequestBytes, 8});
    sweep_with("k1", *deliveries);  // the good peer first, then the crowd up to seven at once
    ASSERT_TRUE(slow_->wait_for_connections(7));
    sweep_with("k2", *deliveries);
    EXPECT_EQ(good_->received(), (std::vector<std::string>{sent("k1"), sent("k2")}));
    EXPECT_EQ(slow_->connections(), 7u);  // two of the crowd still wait for their first turn
}

// A peer that is behind keeps its newest requests within its byte bound, and gets new ones
// only while the requests held stay within theirs; past either, requests are skipped for
// it alone: its oldest waiting one, or the new one.
struct SkipCase {
    const char* name;
    bool peer_bound;  // else the bound of every request held
    std::vector<std::string> slow_gets;
};
class SlowPeerBounds : public SlowPeer, public ::testing::WithParamInterface<SkipCase> {};

TEST_P(SlowPeerBounds, SkipAPeerThatIsBehindWithAWarning) {
    const std::size_t request = request_of({entry_text("k1", 4)}).size();
    SweepLimits limits;
    if (GetParam().peer_bound) {
        limits.peer_queue_bytes = request;  // room for one request behind the one in flight
    } else {
        limits.held_bytes = 2 * request;  // the one in flight and one more
    }
    auto deliveries = queues(limits);
    for (const std::string key : {"k1", "k2", "k3"}) sweep_with(key, *deliveries);
    EXPECT_EQ(good_->received(), (std::vector<std::string>{sent("k1"), sent("k2"), sent("k3")}));
    std::vector<std::string> warnings;
    for (const std::string& line : events())
        if (line.rfind(" WARN", 0) == 0) warnings.push_back(line);
    EXPECT_EQ(warnings, std::vector<std::string>{" WARN quillfern_server::spread: Gossip spread skipped for a peer "
                                                 "that is behind peer=" +
                                                 slow_->address() + " skipped=1"});
    slow_->release(3);
    on_runner(deliveries->idle());
    std::vector<std::string> expected;
    for (const std::string& key : GetParam().slow_gets) expected.push_back(sent(key));
    EXPECT_EQ(slow_->received(), expected);
    EXPECT_EQ(deliveries->held_bytes(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Bounds, SlowPeerBounds,
                         ::testing::Values(SkipCase{"PeerQueueBytes", true, {"k1", "k3"}},
                                           SkipCase{"HeldRequestBytes", false, {"k1", "k2"}}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- The loop ----------------------------------------------------------------------------------

TEST_F(Sweep, TheLoopSweepsAtOnceAndThenEveryInterval) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    queue("k1");
    asio::co_spawn(ctx_, spread_loop(store_, 1), asio::detached);
    std::thread runner([this] { ctx_.run(); });

    EXPECT_TRUE(peer->wait_for_requests(1));  // the first tick runs at once
    queue("k2");
    EXPECT_TRUE(peer->wait_for_requests(2));  // a later tick takes what came meanwhile
    ctx_.stop();
    runner.join();
    ASSERT_GE(peer->received().size(), 2u);
    EXPECT_EQ(peer->received()[0], "\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n");
    EXPECT_EQ(peer->received()[1], "\xEC\x01" + request_of({entry_text("k2", 4)}) + "\n");
}

}  // namespace
}  // namespace quillfern::mesh
