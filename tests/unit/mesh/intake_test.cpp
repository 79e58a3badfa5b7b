// The intake of a peer's batch: what its params give, the thornKit exchange for every
// entry and its verdicts, and a thornKit that can't be asked.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/post.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "env_guard.hpp"
#include "fake_clock.hpp"
#include "fake_line_server.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "quillfern/log.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/transport.hpp"
#include "run_task.hpp"
#include "socket_pair.hpp"
#include "started_store.hpp"
#include "take_pending.hpp"
#include "temp_dir.hpp"
#include "thornkit_checks.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::mesh {
namespace {

using asio::local::stream_protocol;
using quillfern::testing::EnvGuard;
using quillfern::testing::TempDir;

using testing::kNow;

using quillfern::testing::FakeLineServer;
using Behaviour = FakeLineServer::Behaviour;

// thornKit reads a request until its client ends the stream, then answers; with
// `keep_open` it holds the connection after the reply instead of closing it.
Behaviour answer(std::string reply, bool keep_open = false) {
    return FakeLineServer::reading_to_end(FakeLineServer::answer(std::move(reply), !keep_open));
}

std::string entry_json(const std::string& key, const std::string& nonce, std::uint64_t expires = kNow + 600) {
    return R"({"topic":"data","key":")" + key + R"(","payload":{"n":1,"list":["a"]},"origin_gate":"gate-b","nonce":")" +
           nonce + R"(","ttl":5,"version":7,"created_at_epoch":1699999000,"expires_at_epoch":)" +
           std::to_string(expires) + "}";
}

std::string expected_frame(const std::string& key, std::uint64_t expires = kNow + 600) {
    return "\xEC\x01"
           R"({"id":1,"jsonrpc":"2.0","method":"metadata.analyze","params":{"created_at_epoch":1699999000,)"
           R"("expires_at_epoch":)" +
           std::to_string(expires) + R"(,"key":")" + key +
           R"(","origin_gate":"gate-b","payload":{"list":["a"],"n":1},"topic":"data","ttl":5}})"
           "\n";
}

std::string verdict(const std::string& value) {
    return R"({"id":1,"jsonrpc":"2.0","result":{"verdict":)" + value + "}}";
}

const std::string UNREACHABLE = "DEBUG quillfern_server::dispatch: fern-kit: thornKit unreachable — default allow";
std::string reject_line(const std::string& key) {
    return "DEBUG quillfern_server::dispatch: fern-kit REJECT from thornKit key=" + key;
}

class GossipSpread : public ::testing::Test {
protected:
    void start_thornkit(Behaviour behaviour) {
        thornkit_ = FakeLineServer::on_unix_socket(socket_path_, std::move(behaviour));
    }

    // The batch `params_json` holds, as the mesh reads it, taken in: the counts, or null
    // when the params hold no batch.
    json::Value spread(const std::string& params_json) {
        json::Reader reader(params_json);
        std::optional<SpreadBatch> batch = read_spread_params(reader);
        EXPECT_FALSE(reader.failed()) << params_json;
        EXPECT_TRUE(reader.finish()) << params_json;
        if (!batch) return json::Value();
        // A sender that is always there: the batch is always taken in whole.
        std::optional<json::Value> result =
            ::quillfern::testing::run_task(ctx_, take_in_spread(std::move(*batch), *store_, BatchSender{}));
        EXPECT_TRUE(result.has_value()) << params_json;
        return result ? std::move(*result) : json::Value();
    }
    // The same from a sender on `connection`: none when the rest of the batch was left.
    std::optional<json::Value> take_in(const std::string& params_json, transport::TransportStream& connection,
                                       std::chrono::milliseconds reply_limit) {
        json::Reader reader(params_json);
        std::optional<SpreadBatch> batch = read_spread_params(reader);
        EXPECT_TRUE(batch.has_value()) << params_json;
        BatchSender sender{[&connection] { return transport::peer_end(connection); }, reply_limit};
        return ::quillfern::testing::run_task(ctx_,
                                              take_in_spread(std::move(*batch), *store_, std::move(sender), checks_));
    }
    json::Value counts(std::uint32_t accepted, std::uint32_t rejected) {
        return {{"accepted", accepted}, {"rejected", rejected}};
    }
    // The dispatch module's own events, without their timestamps.
    std::vector<std::string> events() const { return capture_.events(); }

    TempDir dir_;
    std::string socket_path_ = dir_.file("tk.sock");
    EnvGuard thornkit_env_{"QUILLFERN_THORNKIT_SOCK", socket_path_};
    log::testing::Capture capture_{"quillfern_server::dispatch=debug"};
    asio::io_context ctx_;
    std::shared_ptr<gossip::GossipStore> store_ = ::quillfern::testing::make_started_store();
    std::unique_ptr<FakeLineServer> thornkit_;
    CheckBound checks_{kMaxThornkitChecks, kMaxCheckedBatches};
};

// ---- Reading the parameters --------------------------------------------------------------

struct ParamsCase {
    friend void PrintTo(const ParamsCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::string params;
    std::string result;
};

class SpreadParams : public GossipSpread, public ::testing::WithParamInterface<ParamsCase> {};

TEST_P(SpreadParams, GiveTheBatch) {
    start_thornkit(answer(verdict(R"("allow")")));
    EXPECT_EQ(json::to_string(spread(GetParam().params)), GetParam().result);
}

const std::string MISSING = "null";  // no batch

INSTANTIATE_TEST_SUITE_P(
    Batches, SpreadParams,
    ::testing::Values(ParamsCase{"Null", "null", MISSING}, ParamsCase{"Array", R"([{"entries":[]}])", MISSING},
                      ParamsCase{"String", R"("entries")", MISSING}, ParamsCase{"EmptyObject", "{}", MISSING},
                      ParamsCase{"EntriesNotArrayNoEntry", R"({"entries":{"a":1}})", MISSING},
                      ParamsCase{"EmptyEntries", R"({"entries":[]})", R"({"accepted":0,"rejected":0})"},
                      ParamsCase{"EntriesWinOverEntry", R"({"entries":[],"entry":)" + entry_json("k1", "n1") + "}",
                                 R"({"accepted":0,"rejected":0})"},
                      ParamsCase{"EntryBesideNonArrayEntries",
                                 R"({"entries":"x","entry":)" + entry_json("k1", "n1") + "}",
                                 R"({"accepted":1,"rejected":0})"},
                      ParamsCase{"NullEntry", R"({"entry":null})", R"({"accepted":0,"rejected":1})"},
                      ParamsCase{"UndecodableElements", R"({"entries":[1,"x",{},[1,2],{"topic":"Data"}]})",
                                 R"({"accepted":0,"rejected":5})"},
                      ParamsCase{"ArrayFormEntry",
                                 R"({"entries":[["varne","k2",null,"gate-b","n2",1,1,1699999000,1700000100]]})",
                                 R"({"accepted":1,"rejected":0})"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GossipSpread, UndecodableElementsAreNotSentToThornKit) {
    start_thornkit(answer(verdict(R"("allow")")));
    EXPECT_EQ(spread(R"({"entries":[null,{"ttl":256}]})"), counts(0, 2));
    EXPECT_EQ(thornkit_->connections(), 0u);
}

TEST_F(GossipSpread, SenderDefaultsToUnknown) {
    for (const char* from_member : {"", R"("from":42,)", R"("from":null,)"}) {
        SCOPED_TRACE(from_member);
        store_ = ::quillfern::testing::make_started_store();
        EXPECT_EQ(spread(std::string("{") + from_member + R"("entries":[)" + entry_json("k1", "n1") + "]}"),
                  counts(1, 0));
        auto peers = store_->peer_stats();
        ASSERT_EQ(peers.size(), 1u);
        EXPECT_EQ(peers.begin()->first, "unknown");
        EXPECT_EQ(peers.begin()->second.entries_received, 1u);
    }
}

TEST_F(GossipSpread, EmptySenderIsKept) {
    EXPECT_EQ(spread(R"({"from":"","entries":[)" + entry_json("k1", "n1") + "]}"), counts(1, 0));
    EXPECT_EQ(store_->peer_stats().count(""), 1u);
}

// ---- The exchange with thornKit ----------------------------------------------------------

TEST_F(GossipSpread, SendsOneFramedRequestPerEntry) {
    start_thornkit(answer(verdict(R"("allow")")));
    EXPECT_EQ(spread(R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," + entry_json("k2", "n2") + "]}"),
              counts(2, 0));
    EXPECT_EQ(thornkit_->received(), (std::vector<std::string>{expected_frame("k1"), expected_frame("k2")}));

    // Accepted entries are queued again for forwarding, one hop less.
    auto pending = take_pending(*store_);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_EQ(pending[0].ttl, 4);
}

TEST_F(GossipSpread, AsksAboutEntriesTheStoreRefuses) {
    start_thornkit(answer(verdict(R"("allow")")));
    const std::string expired = entry_json("old", "n0", kNow);
    EXPECT_EQ(spread(R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," + entry_json("k1", "n1") + "," +
                     expired + "]}"),
              counts(1, 2));
    EXPECT_EQ(thornkit_->received(),
              (std::vector<std::string>{expected_frame("k1"), expected_frame("k1"), expected_frame("old", kNow)}));
    EXPECT_EQ(store_->peer_stats()["gate-b"].entries_rejected, 2u);
}

struct VerdictCase {
    friend void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    Behaviour behaviour;
    bool allowed;
};

class Verdicts : public GossipSpread, public ::testing::WithParamInterface<VerdictCase> {};

TEST_P(Verdicts, DecideTheEntry) {
    start_thornkit(GetParam().behaviour);
    const bool allowed = GetParam().allowed;
    EXPECT_EQ(spread(R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "]}"),
              counts(allowed ? 1 : 0, allowed ? 0 : 1));
    EXPECT_EQ(thornkit_->connections(), 1u);
    EXPECT_EQ(store_->query(gossip::Topic::Data, std::nullopt).size(), allowed ? 1u : 0u);
    if (allowed) {
        EXPECT_TRUE(events().empty());
    } else {
        EXPECT_EQ(events(), std::vector<std::string>{reject_line("k1")});
        // A refused entry never reaches the store: no peer accounting either.
        EXPECT_TRUE(store_->peer_stats().empty());
    }
}

const std::string DENY = verdict(R"("deny")");
const std::size_t MIB = std::size_t{1} << 20;

INSTANTIATE_TEST_SUITE_P(
    Replies, Verdicts,
    ::testing::Values(
        VerdictCase{"Allow", answer(verdict(R"("allow")")), true}, VerdictCase{"Deny", answer(DENY), false},
        VerdictCase{"Reject", answer(verdict(R"("reject")")), false},
        VerdictCase{"DenyCapitalised", answer(verdict(R"("Deny")")), true},
        VerdictCase{"RejectUpperCase", answer(verdict(R"("REJECT")")), true},
        VerdictCase{"DenyWithBlank", answer(verdict(R"("deny ")")), true},
        VerdictCase{"VerdictNotString", answer(verdict("false")), true},
        VerdictCase{"NoVerdict", answer(R"({"result":{"score":1}})"), true},
        VerdictCase{"ResultNotObject", answer(R"({"result":"deny"})"), true},
        VerdictCase{"ErrorReply",
                    answer(R"({"error":{"code":-32601,"message":"Method not found"},"id":1,"jsonrpc":"2.0"})"), true},
        VerdictCase{"ArrayReply", answer("[" + DENY + "]"), true},
        VerdictCase{"SignalPrefixAndNewline", answer("\xEC\x01" + DENY + "\n"), false},
        VerdictCase{"SignalPrefixOnly", answer("\xEC\x01"), true},
        VerdictCase{"UnicodeWhiteSpaceAround", answer("\xC2\xA0\t " + DENY + " \xE2\x80\xA8\r\n"), false},
        VerdictCase{"TwoValues", answer(DENY + "\n" + DENY + "\n"), true},
        VerdictCase{"TrailingGarbage", answer(DENY + "x"), true}, VerdictCase{"NotUtf8", answer(DENY + "\xFF"), true},
        VerdictCase{"NothingWritten", answer(""), true},
        VerdictCase{"ClosesAtOnce", FakeLineServer::close_at_once(), true},
        // Replies that never end: honoured when the read time is up.
        VerdictCase{"DenyKeepingTheConnection", answer(DENY, true), false},
        VerdictCase{"SilentKeepingTheConnection", answer("", true), true},
        // Long replies: the buffer grows past its first 4096 bytes, and stops at 1 MiB.
        VerdictCase{"LongReply", answer(std::string(600'000, ' ') + DENY), false},
        VerdictCase{"ReplyOfExactlyOneMiB", answer(DENY + std::string(MIB - DENY.size(), ' ')), false},
        VerdictCase{"BytesPastOneMiBAreNotRead", answer(DENY + std::string(MIB - DENY.size(), ' ') + "trailing"),
                    false},
        VerdictCase{"VerdictPastOneMiB", answer(std::string(MIB, ' ') + DENY), true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GossipSpread, AFrameThornKitNeverReadsIsGivenUpOn) {
    // Far more than the socket buffers hold: the write can't finish, its time limit ends it.
    const std::string big =
        R"({"topic":"data","key":"big","payload":")" + std::string(8 * MIB, 'p') +
        R"(","origin_gate":"gate-b","nonce":"n1","ttl":5,"version":7,"created_at_epoch":1699999000,)"
        R"("expires_at_epoch":1700000600})";
    start_thornkit(FakeLineServer::never_read());
    EXPECT_EQ(spread(R"({"from":"gate-b","entries":[)" + big + "]}"), counts(1, 0));
    EXPECT_EQ(thornkit_->connections(), 1u);
    EXPECT_TRUE(events().empty());
}

TEST_F(GossipSpread, RefusedEntriesAreLoggedAndSkipped) {
    start_thornkit(answer(DENY));
    EXPECT_EQ(spread(R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," + entry_json("k2", "n2") + "]}"),
              counts(0, 2));
    EXPECT_EQ(events(), (std::vector<std::string>{reject_line("k1"), reject_line("k2")}));
}

TEST_F(GossipSpread, DefaultSocketIsInTheRuntimeDirectory) {
    thornkit_env_.set(std::nullopt);
    EnvGuard runtime{"VELLUMAR_RUNTIME_DIR", dir_.path()};
    socket_path_ = dir_.file("thornkit.sock");
    EXPECT_EQ(paths::thornkit_socket_path(), socket_path_);
    start_thornkit(answer(verdict(R"("reject")")));
    EXPECT_EQ(spread(R"({"entries":[)" + entry_json("k1", "n1") + "]}"), counts(0, 1));
    EXPECT_EQ(thornkit_->received().size(), 1u);
}

// ---- thornKit that can't be asked ----------------------------------------------------------

struct AbsentCase {
    friend void PrintTo(const AbsentCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    enum class Kind { Missing, EmptyValue, RegularFile, Directory, StaleSocket } kind;
    bool logs_unreachable;
};

class AbsentThornKit : public GossipSpread, public ::testing::WithParamInterface<AbsentCase> {};

TEST_P(AbsentThornKit, AllowsEveryEntry) {
    switch (GetParam().kind) {
        case AbsentCase::Kind::Missing: break;
        case AbsentCase::Kind::EmptyValue: thornkit_env_.set(""); break;
        case AbsentCase::Kind::RegularFile: std::ofstream(socket_path_) << "not a socket"; break;
        case AbsentCase::Kind::Directory: std::filesystem::create_directory(socket_path_); break;
        case AbsentCase::Kind::StaleSocket: {
            stream_protocol::acceptor bound(ctx_, stream_protocol::endpoint(socket_path_));
            break;  // closed again: the file stays, nothing listens
        }
    }
    EXPECT_EQ(spread(R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," + entry_json("k2", "n2") + "," +
                     entry_json("k1", "n1") + "]}"),
              counts(2, 1));  // the counts follow the store alone
    std::vector<std::string> expected;
    if (GetParam().logs_unreachable) expected.assign(2 + 1, UNREACHABLE);
    EXPECT_EQ(events(), expected);
}

INSTANTIATE_TEST_SUITE_P(Paths, AbsentThornKit,
                         ::testing::Values(AbsentCase{"PathMissing", AbsentCase::Kind::Missing, false},
                                           AbsentCase{"EmptyValue", AbsentCase::Kind::EmptyValue, false},
                                           AbsentCase{"RegularFile", AbsentCase::Kind::RegularFile, true},
                                           AbsentCase{"Directory", AbsentCase::Kind::Directory, true},
                                           AbsentCase{"StaleSocket", AbsentCase::Kind::StaleSocket, true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- A sender that gives up while its batch is checked -------------------------------------

// A connected TCP pair on 127.0.0.1: the server side as a TransportStream on `ctx`.
struct TcpPair {
    explicit TcpPair(asio::io_context& ctx) : client(ctx) {
        asio::ip::tcp::acceptor acceptor(ctx, {asio::ip::address_v4::loopback(), 0});
        client.connect(acceptor.local_endpoint());
        server = transport::TransportStream(acceptor.accept());
    }
    asio::ip::tcp::socket client;
    transport::TransportStream server{client.get_executor()};
};

struct SenderCase {
    friend void PrintTo(const SenderCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    bool tcp;
    enum class End { None, ShutdownSend, Close, ShutdownSendThenClose, Reset } end;
    bool before_batch;  // the end comes with the request, else while thornKit checks the first entry
    std::chrono::milliseconds reply_limit;
    bool left;  // the rest of the batch is left
};

class BatchSenders : public GossipSpread, public ::testing::WithParamInterface<SenderCase> {};

TEST_P(BatchSenders, AreServedUntilTheyHaveGone) {
    const SenderCase& c = GetParam();
    ::quillfern::testing::SocketPair unix_pair;
    TcpPair tcp_pair(ctx_);
    transport::TransportStream& connection = c.tcp ? tcp_pair.server : unix_pair.server;
    auto shutdown_send = [&] {
        if (c.tcp) {
            tcp_pair.client.shutdown(asio::socket_base::shutdown_send);
        } else {
            unix_pair.end_input();
        }
    };
    auto close = [&] {
        if (c.tcp) {
            if (c.end == SenderCase::End::Reset) tcp_pair.client.set_option(asio::socket_base::linger(true, 0));
            tcp_pair.client.close();
        } else {
            unix_pair.client.close();
        }
    };
    auto end = [&](bool late) {
        switch (c.end) {
            case SenderCase::End::None: break;
            case SenderCase::End::ShutdownSend: shutdown_send(); break;
            case SenderCase::End::Close:
            case SenderCase::End::Reset: close(); break;
            case SenderCase::End::ShutdownSendThenClose: late ? close() : shutdown_send(); break;
        }
    };
    start_thornkit(answer(verdict(R"("allow")")));
    if (c.before_batch || c.end == SenderCase::End::ShutdownSendThenClose) end(false);
    if (!c.before_batch) {
        thornkit_->on_request([&] {
            if (thornkit_->received().size() == 1) end(true);
        });
    }
    const std::string params = R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," +
                               entry_json("k2", "n2") + "," + entry_json("k3", "n3") + "]}";
    std::optional<json::Value> result = take_in(params, connection, c.reply_limit);

    if (c.left) {
        EXPECT_FALSE(result.has_value());
        // The entry being checked when the sender went is taken in; the others are not asked about.
        const std::size_t asked = c.before_batch ? 0 : 1;
        EXPECT_EQ(thornkit_->received().size(), asked);
        EXPECT_EQ(take_pending(*store_).size(), asked);
        EXPECT_EQ(events(), std::vector<std::string>{" WARN quillfern_server::dispatch: Gossip batch sender has gone — "
                                                     "rest of the batch left unchecked from=gate-b left=" +
                                                     std::to_string(3 - asked)});
    } else {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, counts(3, 0));
        EXPECT_EQ(thornkit_->received(),
                  (std::vector<std::string>{expected_frame("k1"), expected_frame("k2"), expected_frame("k3")}));
        EXPECT_TRUE(events().empty());
    }
    EXPECT_EQ(checks_.checks_in_flight(), 0u);
    EXPECT_EQ(checks_.batches(), 0u);
}

using namespace std::chrono_literals;
using End = SenderCase::End;

INSTANTIATE_TEST_SUITE_P(
    Ends, BatchSenders,
    ::testing::Values(SenderCase{"StillThere", false, End::None, false, 0ms, false},
                      // A Unix socket tells a close (no one reads the reply) from a half-close.
                      SenderCase{"ClosedWhileChecked", false, End::Close, false, 1h, true},
                      SenderCase{"ClosedWithTheRequest", false, End::Close, true, 1h, true},
                      SenderCase{"HalfClosedWithTheRequest", false, End::ShutdownSend, true, 0ms, false},
                      SenderCase{"HalfClosedWhileChecked", false, End::ShutdownSend, false, 0ms, false},
                      SenderCase{"HalfClosedThenClosed", false, End::ShutdownSendThenClose, false, 1h, true},
                      // On TCP the two look the same: an end counts once the reply limit has passed.
                      SenderCase{"TcpStillThere", true, End::None, false, 0ms, false},
                      SenderCase{"TcpClosedWithinTheReplyLimit", true, End::Close, false, 1h, false},
                      SenderCase{"TcpClosedPastTheReplyLimit", true, End::Close, false, 0ms, true},
                      SenderCase{"TcpHalfClosedWithinTheReplyLimit", true, End::ShutdownSend, true, 1h, false},
                      SenderCase{"TcpHalfClosedPastTheReplyLimit", true, End::ShutdownSend, true, 0ms, true},
                      SenderCase{"TcpHalfClosedThenClosedWithinTheReplyLimit", true, End::ShutdownSendThenClose, false,
                                 1h, false},
                      // A reset is a sender gone on TCP too.
                      SenderCase{"TcpReset", true, End::Reset, false, 1h, true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The process-wide bound on checks ------------------------------------------------------

// A batch that finds every place taken waits for one: nothing of it goes in unchecked, and
// once a place is given back its entries are checked as usual.
TEST_F(GossipSpread, ABatchFindingEveryCheckedPlaceTakenWaitsForOne) {
    CheckBound full(1, 1);
    std::optional<CheckBound::Batch> holder = full.join();
    ASSERT_TRUE(holder.has_value());
    start_thornkit(answer(verdict(R"("deny")")));
    const std::string params =
        R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," + entry_json("k2", "n2") + "]}";
    json::Reader reader(params);
    std::optional<SpreadBatch> batch = read_spread_params(reader);
    ASSERT_TRUE(batch.has_value());
    std::optional<std::optional<json::Value>> result;
    asio::co_spawn(
        ctx_,
        [&]() -> asio::awaitable<void> {
            result = co_await take_in_spread(std::move(*batch), *store_, BatchSender{}, full);
        },
        asio::detached);
    ctx_.poll();  // everything that can run without a place
    EXPECT_FALSE(result.has_value());
    EXPECT_TRUE(thornkit_->received().empty());
    EXPECT_EQ(store_->stats().data_entries, 0u);

    holder.reset();
    ctx_.restart();
    ctx_.run();
    ASSERT_TRUE(result.has_value() && result->has_value());
    EXPECT_EQ(**result, counts(0, 2));
    EXPECT_EQ(thornkit_->received().size(), 2u);
    EXPECT_EQ(full.batches(), 0u);
    EXPECT_EQ(events(), (std::vector<std::string>{reject_line("k1"), reject_line("k2")}));
}

// Entries of batches on two event loops share two checks: at most two in flight, the
// others waiting their turn and served in the order they came, each woken on its own loop.
TEST(CheckBound, HoldsChecksInFlightToItsBoundAndServesTheWaitingInTurn) {
    CheckBound bound(2, 8);
    asio::io_context loops[2];
    std::vector<std::optional<CheckBound::Batch>> batches;
    for (int i = 0; i < 5; ++i) batches.push_back(bound.join());
    std::vector<int> served;
    std::vector<std::optional<CheckBound::Check>> held(5);
    auto take = [&](int i) -> asio::awaitable<void> {
        CheckBound::Check check = co_await batches[i]->check();
        served.push_back(i);
        held[i].emplace(std::move(check));
    };
    auto run_loops = [&] {
        for (auto& loop : loops) {
            loop.restart();
            loop.poll();
        }
    };
    for (int i = 0; i < 5; ++i) {
        asio::co_spawn(loops[i % 2], take(i), asio::detached);
        run_loops();  // each takes a check or its place in line before the next comes
    }
    EXPECT_EQ(served, (std::vector<int>{0, 1}));
    EXPECT_EQ(bound.checks_in_flight(), 2u);

    held[0].reset();  // handed to the first in line, on its own loop
    EXPECT_EQ(served, (std::vector<int>{0, 1}));
    run_loops();
    EXPECT_EQ(served, (std::vector<int>{0, 1, 2}));
    held[1].reset();
    run_loops();
    held[2].reset();
    run_loops();
    EXPECT_EQ(served, (std::vector<int>{0, 1, 2, 3, 4}));
    EXPECT_EQ(bound.checks_in_flight(), 2u);
    held[3].reset();
    held[4].reset();
    EXPECT_EQ(bound.checks_in_flight(), 0u);
}

// An entry given up while it waits (its task destroyed) leaves the line, and a check
// handed to it meanwhile goes on to the next.
TEST(CheckBound, AWaiterGivenUpPassesItsTurnOn) {
    CheckBound bound(1, 8);
    std::vector<std::optional<CheckBound::Batch>> batches;
    for (int i = 0; i < 3; ++i) batches.push_back(bound.join());
    std::vector<int> served;
    std::vector<std::optional<CheckBound::Check>> held(3);
    auto take = [&](int i) -> asio::awaitable<void> {
        CheckBound::Check check = co_await batches[i]->check();
        served.push_back(i);
        held[i].emplace(std::move(check));
    };
    asio::io_context keeps;
    {
        asio::io_context given_up;
        asio::co_spawn(keeps, take(0), asio::detached);
        keeps.poll();
        asio::co_spawn(given_up, take(1), asio::detached);
        given_up.poll();
        asio::co_spawn(keeps, take(2), asio::detached);
        keeps.restart();
        keeps.poll();
        held[0].reset();  // handed to 1, whose loop goes before it runs the hand-over
    }
    keeps.restart();
    keeps.poll();
    EXPECT_EQ(served, (std::vector<int>{0, 2}));
    held[2].reset();
    EXPECT_EQ(bound.checks_in_flight(), 0u);
}

TEST(CheckBound, GivesEachBatchAPlaceUpToItsBound) {
    CheckBound bound(1, 2);
    std::optional<CheckBound::Batch> a = bound.join(), b = bound.join();
    EXPECT_TRUE(a && b);
    EXPECT_FALSE(bound.join().has_value());
    a.reset();
    EXPECT_EQ(bound.batches(), 1u);
    EXPECT_TRUE(bound.join().has_value());  // a place that came back, gone again with the value
    EXPECT_EQ(bound.batches(), 1u);
}

TEST_F(GossipSpread, SenderLookedAtOnlyForEntriesCheckedWithThornKit) {
    // Without thornKit a batch is quick: it is taken in whole even from a sender that has gone.
    ::quillfern::testing::SocketPair connection;
    connection.client.close();
    using namespace std::chrono_literals;
    std::optional<json::Value> result = take_in(
        R"({"entries":[)" + entry_json("k1", "n1") + "," + entry_json("k2", "n2") + "]}", connection.server, 0ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, counts(2, 0));
}

}  // namespace
}  // namespace quillfern::mesh
