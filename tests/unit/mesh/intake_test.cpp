// The intake of a peer's batch: what its params give, the thornKit exchange for every
// entry and its verdicts, and a thornKit that can't be asked.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/detached.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "env_guard.hpp"
#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "quillfern/log.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/no_throw.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/transport.hpp"
#include "run_task.hpp"
#include "socket_pair.hpp"
#include "take_pending.hpp"
#include "temp_dir.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::mesh {
namespace {

using asio::local::stream_protocol;
using quillfern::testing::EnvGuard;
using quillfern::testing::TempDir;

using testing::kNow;

std::shared_ptr<gossip::GossipStore> started_store() {
    auto store = std::make_shared<gossip::GossipStore>("gate-a", testing::FakeClock::at(kNow));
    EXPECT_TRUE(store->start().has_value());
    return store;
}

// What the fake thornKit does with each connection.
struct Behaviour {
    enum class Kind { Answer, CloseAtOnce, HoldUnread } kind = Kind::Answer;
    std::string reply;       // written after the whole request was read
    bool keep_open = false;  // after the reply: hold the connection instead of closing it
};

Behaviour answer(std::string reply, bool keep_open = false) {
    return Behaviour{Behaviour::Kind::Answer, std::move(reply), keep_open};
}
Behaviour close_at_once() { return Behaviour{Behaviour::Kind::CloseAtOnce, {}, false}; }
// Accepts and keeps the connection without ever reading from it.
Behaviour hold_unread() { return Behaviour{Behaviour::Kind::HoldUnread, {}, true}; }

// A thornKit on a real Unix socket, served on the test's io_context. Records every
// request it read in full.
class FakeThornKit {
public:
    FakeThornKit(asio::io_context& ctx, const std::string& path, Behaviour behaviour)
        : acceptor_(ctx, stream_protocol::endpoint(path)), behaviour_(std::move(behaviour)) {
        asio::co_spawn(ctx, serve(), asio::detached);
    }
    ~FakeThornKit() { close(); }

    void close() {
        std::error_code ignored;
        acceptor_.close(ignored);
        for (auto& socket : held_) socket.close(ignored);
    }

    const std::vector<std::string>& requests() const { return requests_; }
    // Runs once a request has been read in full, before it is answered.
    void on_request(std::function<void()> hook) { on_request_ = std::move(hook); }
    std::size_t connections() const { return connections_; }

private:
    asio::awaitable<void> serve() {
        for (;;) {
            auto [ec, socket] = co_await acceptor_.async_accept(kNoThrow);
            if (ec) co_return;
            ++connections_;
            if (behaviour_.kind == Behaviour::Kind::CloseAtOnce) continue;  // dropped: closed
            if (behaviour_.kind == Behaviour::Kind::HoldUnread) {
                held_.push_back(std::move(socket));
                continue;
            }
            std::string request;
            auto [read_ec, n] = co_await asio::async_read(socket, asio::dynamic_buffer(request), kNoThrow);
            (void)read_ec;
            (void)n;
            requests_.push_back(request);
            if (on_request_) on_request_();
            if (!behaviour_.reply.empty()) {
                auto [write_ec, written] = co_await asio::async_write(socket, asio::buffer(behaviour_.reply), kNoThrow);
                (void)write_ec;
                (void)written;
            }
            if (behaviour_.keep_open) held_.push_back(std::move(socket));
        }
    }

    stream_protocol::acceptor acceptor_;
    Behaviour behaviour_;
    std::vector<std::string> requests_;
    std::vector<stream_protocol::socket> held_;
    std::size_t connections_ = 0;
    std::function<void()> on_request_;
};

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
    void TearDown() override {
        if (thornkit_) {
            thornkit_->close();
            ctx_.restart();
            ctx_.run();  // lets the fake's accept loop see the closed acceptor and end
        }
    }

    void start_thornkit(Behaviour behaviour) {
        thornkit_ = std::make_unique<FakeThornKit>(ctx_, socket_path_, std::move(behaviour));
    }

    // The batch `params_json` holds, as the mesh reads it, taken in: the counts, or null
    // when the params hold no batch.
    json::Value spread(const std::string& params_json) {
        json::Reader reader(params_json);
        std::optional<SpreadBatch> batch = read_spread_params(reader);
        EXPECT_FALSE(reader.failed()) << params_json;
        EXPECT_TRUE(reader.finish()) << params_json;
        if (!batch) return json::Value();
        return ::quillfern::testing::run_task(ctx_, handle_gossip_spread(std::move(*batch), *store_));
    }
    // The same from a sender on `connection`: none when the rest of the batch was left.
    std::optional<json::Value> take_in(const std::string& params_json, transport::TransportStream& connection,
                                       std::chrono::milliseconds half_close_window,
                                       std::chrono::milliseconds reply_limit) {
        json::Reader reader(params_json);
        std::optional<SpreadBatch> batch = read_spread_params(reader);
        EXPECT_TRUE(batch.has_value()) << params_json;
        BatchSender sender{[&connection] { return transport::peer_has_ended(connection); }, half_close_window,
                           reply_limit};
        return ::quillfern::testing::run_task(ctx_, take_in_spread(std::move(*batch), *store_, std::move(sender)));
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
    std::shared_ptr<gossip::GossipStore> store_ = started_store();
    std::unique_ptr<FakeThornKit> thornkit_;
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
        store_ = started_store();
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
    EXPECT_EQ(thornkit_->requests(), (std::vector<std::string>{expected_frame("k1"), expected_frame("k2")}));

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
    EXPECT_EQ(thornkit_->requests(),
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
        VerdictCase{"NothingWritten", answer(""), true}, VerdictCase{"ClosesAtOnce", close_at_once(), true},
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
    start_thornkit(hold_unread());
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
    EXPECT_EQ(thornkit_->requests().size(), 1u);
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

struct SenderCase {
    friend void PrintTo(const SenderCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    enum class End { None, ShutdownSend, Close } end;
    bool before_batch;  // the end comes with the request, else while thornKit checks the first entry
    std::chrono::milliseconds half_close_window;
    std::chrono::milliseconds reply_limit;
    bool left;  // the rest of the batch is left
};

class BatchSenders : public GossipSpread, public ::testing::WithParamInterface<SenderCase> {};

TEST_P(BatchSenders, AreServedUntilTheyHaveGone) {
    const SenderCase& c = GetParam();
    ::quillfern::testing::SocketPair connection;
    auto end = [&] {
        if (c.end == SenderCase::End::ShutdownSend) connection.end_input();
        if (c.end == SenderCase::End::Close) connection.client.close();
    };
    start_thornkit(answer(verdict(R"("allow")")));
    if (c.before_batch) {
        end();
    } else {
        thornkit_->on_request([&] {
            if (thornkit_->requests().size() == 1) end();
        });
    }
    const std::string params = R"({"from":"gate-b","entries":[)" + entry_json("k1", "n1") + "," +
                               entry_json("k2", "n2") + "," + entry_json("k3", "n3") + "]}";
    std::optional<json::Value> result = take_in(params, connection.server, c.half_close_window, c.reply_limit);

    if (c.left) {
        EXPECT_FALSE(result.has_value());
        // The entry being checked when the sender went is taken in; the other two are not asked about.
        EXPECT_EQ(thornkit_->requests(), std::vector<std::string>{expected_frame("k1")});
        EXPECT_EQ(take_pending(*store_).size(), 1u);
        EXPECT_EQ(events(), std::vector<std::string>{" WARN quillfern_server::dispatch: Gossip batch sender has gone — "
                                                     "rest of the batch left unchecked from=gate-b left=2"});
    } else {
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(*result, counts(3, 0));
        EXPECT_EQ(thornkit_->requests(),
                  (std::vector<std::string>{expected_frame("k1"), expected_frame("k2"), expected_frame("k3")}));
        EXPECT_TRUE(events().empty());
    }
}

using namespace std::chrono_literals;
using End = SenderCase::End;

INSTANTIATE_TEST_SUITE_P(
    Ends, BatchSenders,
    ::testing::Values(SenderCase{"StillThere", End::None, false, 0ms, 0ms, false},
                      SenderCase{"ClosedPastTheReplyLimit", End::Close, false, 0ms, 0ms, true},
                      // Before its reply limit a sender can't have given up.
                      SenderCase{"ClosedWithinTheReplyLimit", End::Close, false, 0ms, 1h, false},
                      // A client that shut down its sending side to end its request reads the reply.
                      SenderCase{"HalfClosedWithTheRequest", End::ShutdownSend, true, 1h, 0ms, false},
                      SenderCase{"ClosedWithTheRequest", End::Close, true, 1h, 0ms, false},
                      // An end first seen late is a sender that gave up, whichever way it ended.
                      SenderCase{"HalfClosedLate", End::ShutdownSend, false, 0ms, 0ms, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(GossipSpread, SenderLookedAtOnlyForEntriesCheckedWithThornKit) {
    // Without thornKit a batch is quick: it is taken in whole even from a sender that has gone.
    ::quillfern::testing::SocketPair connection;
    connection.client.close();
    using namespace std::chrono_literals;
    std::optional<json::Value> result = take_in(
        R"({"entries":[)" + entry_json("k1", "n1") + "," + entry_json("k2", "n2") + "]}", connection.server, 0ms, 0ms);
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(*result, counts(2, 0));
}

}  // namespace
}  // namespace quillfern::mesh
