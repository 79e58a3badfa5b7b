// The spread sweep and its loop: requests of a bounded size, each built once, to every
// peer, with a bounded number of deliveries at a time.
#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "spread_fixture.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::spread {
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
    {
        SCOPED_TRACE("entries");
        expect_split(spread_requests("gate-\x01", batch, bound));
    }

    // A store's forward copies of the same entries, received with a hop more, are split alike.
    auto store = std::make_shared<gossip::GossipStore>("gate-a",
                                                       ::quillfern::testing::FakeClock::at(::quillfern::testing::kNow));
    ASSERT_TRUE(store->start().has_value());
    for (gossip::GossipEntry received : batch) {
        ++received.ttl;
        ASSERT_EQ(store->ingest(std::move(received), "gate-b"), gossip::IngestOutcome::Accepted);
    }
    const std::vector<gossip::PendingCopy> copies = store->take_pending_copies();
    ASSERT_EQ(copies.size(), batch.size());
    SCOPED_TRACE("copies");
    expect_split(spread_requests("gate-\x01", copies, bound));
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
    void sweep() {
        run(run_sweep(store_));
        drain();  // the deliveries it started
    }
    void sweep_within(SweepLimits limits) {
        run(run_sweep(store_, limits));
        drain();
    }
    std::vector<std::string> info_events() const {
        std::vector<std::string> out;
        for (const auto& line : events())
            if (line.rfind("DEBUG", 0) != 0) out.push_back(line);
        return out;
    }

    std::shared_ptr<gossip::GossipStore> store_ = started_store();
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
    // Room for one entry per request; one delivery at a time makes the order plain.
    const std::string one = request_of({entry_text("k1", 4)});
    run(run_sweep(store_, SweepLimits{one.size(), 1}));

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
                  delivered(*first), info, delivered(*first), delivered(*second), delivered(*second)}));
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
    run(run_sweep(store_, SweepLimits{one.size(), kMaxSweepDeliveries}));

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
    sweep_within(SweepLimits{both.size(), kMaxSweepDeliveries});

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
    auto store = started_store("gate-a", gossip::StoreLimits{.request_bytes = kStoreBound});
    auto ingest = [&](const EntryShape& shape) {
        ASSERT_EQ(store->ingest(entry_of(shape), "gate-b"), gossip::IngestOutcome::Accepted);
    };
    auto sweep_store = [&] {
        run(run_sweep(store, SweepLimits{kSweepBound, kMaxSweepDeliveries}));
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
    auto store = started_store("gate-a", gossip::StoreLimits{std::size_t{256} << 20});
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
    run(run_sweep(store, SweepLimits{kMaxSpreadRequestBytes, 1}));

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

// A peer that answers only when the test lets it: the connections it holds at once are the
// deliveries under way.
TEST_F(Sweep, RunsAtMostTheBoundOfDeliveriesAtOnceAndEndsWithTheLast) {
    constexpr std::size_t kDeliveries = 9, kBound = 3;
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer_when_released(ACCEPTED_ONE));
    std::string listed = peer->address();
    for (std::size_t i = 1; i < kDeliveries; ++i) listed += "," + peer->address();
    peers_env_.set(listed);
    queue("k1");

    std::atomic<bool> ended{false};
    std::thread sweeper([&] {
        run(run_sweep(store_, SweepLimits{kMaxSpreadRequestBytes, kBound}));
        ended = true;
    });
    struct Join {
        FakeLineServer& peer;
        std::thread& sweeper;
        ~Join() {
            peer.release(kDeliveries);
            if (sweeper.joinable()) sweeper.join();
        }
    } join{*peer, sweeper};
    for (std::size_t answered = 0; answered < kDeliveries; ++answered) {
        // Each answer lets the next delivery in, up to the bound.
        ASSERT_TRUE(peer->wait_for_requests(std::min(answered + kBound, kDeliveries))) << answered;
        ASSERT_FALSE(ended) << answered;
        peer->release(answered + 1);
    }
    sweeper.join();
    EXPECT_TRUE(ended);
    EXPECT_EQ(peer->peak_open(), kBound);
    EXPECT_EQ(peer->connections(), kDeliveries);
    EXPECT_EQ(store_->peer_stats().at(peer->address()).entries_sent, kDeliveries);
}

// ---- The loop ----------------------------------------------------------------------------------

TEST_F(Sweep, TheLoopSweepsAtOnceAndThenEveryInterval) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    queue("k1");
    asio::co_spawn(ctx_, mesh::spread_loop(store_, 1), asio::detached);
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
}  // namespace quillfern::spread
