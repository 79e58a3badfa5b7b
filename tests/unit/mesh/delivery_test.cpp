// Delivery of one batch to one peer: the direct road, the relay road, their reply tables,
// and what the task logs and records.
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spread_fixture.hpp"

namespace quillfern::mesh {
namespace {

using namespace std::chrono_literals;
using testing::FakeLineServer;
using Road = Expected<std::uint32_t, std::string>;

constexpr std::size_t MIB = std::size_t{1} << 20;

const std::string PAYLOAD = R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)" +
                            testing::entry_text("k1", 4) + R"(],"from":"gate-a"}})";

std::string relay_line(const std::string& peer) {
    return "\xEC\x01"
           R"({"id":1,"jsonrpc":"2.0","method":"gossip.relay","params":{"payload":)" +
           PAYLOAD + R"(,"target_method":"gossip.spread","target_peer":")" + peer + "\"}}\n";
}

// A TCP port nothing listens on: bound, then released.
std::string closed_address() {
    auto server = FakeLineServer::on_tcp_port(FakeLineServer::close_at_once());
    std::string address = server->address();
    server->stop();
    return address;
}

std::string refused(const std::string& peer) {
    return "TCP connect to " + peer + ": Connection refused (os error 111)";
}

class Delivery : public testing::SpreadTest {
protected:
    Road via_tcp(const std::string& peer, sibling_client::Limits limits = {}) {
        return run(spread_via_tcp(peer, payload_, limits));
    }
    Road via_relay(const std::string& peer, sibling_client::Limits limits = {}) {
        return run(spread_via_relay(peer, payload_, limits));
    }

    SharedPayload payload_ = std::make_shared<const std::string>(PAYLOAD);
};

// ---- The direct road ---------------------------------------------------------------------------

TEST_F(Delivery, DirectRoadWritesSignalRequestAndNewlineAndReadsTheCount) {
    auto peer = FakeLineServer::on_tcp_port(
        FakeLineServer::answer(R"({"id":null,"jsonrpc":"2.0","result":{"accepted":3,"rejected":1}})"
                               "\n"));
    Road road = via_tcp(peer->address());
    ASSERT_TRUE(road.has_value()) << road.error();
    EXPECT_EQ(*road, 3u);
    EXPECT_EQ(peer->received(), std::vector<std::string>{"\xEC\x01" + PAYLOAD + "\n"});
}

struct DirectReplyCase {
    friend void PrintTo(const DirectReplyCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    FakeLineServer::Behaviour behaviour;
    std::uint32_t count;
};

class DirectReplies : public Delivery, public ::testing::WithParamInterface<DirectReplyCase> {};

TEST_P(DirectReplies, CountAsDeliveredWhateverComesBack) {
    auto peer = FakeLineServer::on_tcp_port(GetParam().behaviour);
    sibling_client::Limits limits;
    limits.reply = 300ms;
    Road road = via_tcp(peer->address(), limits);
    ASSERT_TRUE(road.has_value()) << road.error();
    EXPECT_EQ(*road, GetParam().count);
}

std::string accepted(const std::string& value) { return R"({"result":{"accepted":)" + value + "}}\n"; }

INSTANTIATE_TEST_SUITE_P(
    Cases, DirectReplies,
    ::testing::Values(
        DirectReplyCase{"ClosedWithoutAnswer", FakeLineServer::answer(""), 0},
        DirectReplyCase{"Silent", FakeLineServer::silent(), 0},
        DirectReplyCase{"NotJson", FakeLineServer::answer("garbage\n"), 0},
        DirectReplyCase{"NotUtf8", FakeLineServer::answer("{\"result\":\"\xFF\"}\n"), 0},
        DirectReplyCase{"PastTheCap", FakeLineServer::answer(std::string(2 * MIB, ' ') + accepted("5")), 0},
        DirectReplyCase{
            "MethodNotFound",
            FakeLineServer::answer(R"({"error":{"code":-32601,"message":"Method not found"},"id":null,"jsonrpc":"2.0"})"
                                   "\n"),
            0},
        DirectReplyCase{"ErrorBesideAResult",
                        FakeLineServer::answer(R"({"error":null,"result":{"accepted":2}})"
                                               "\n"),
                        2},
        DirectReplyCase{"LargestCount", FakeLineServer::answer(accepted("4294967295")), 4294967295u},
        DirectReplyCase{"CountTooLarge", FakeLineServer::answer(accepted("4294967296")), 0},
        DirectReplyCase{"NegativeCount", FakeLineServer::answer(accepted("-1")), 0},
        DirectReplyCase{"FractionalCount", FakeLineServer::answer(accepted("3.0")), 0},
        DirectReplyCase{"TextCount", FakeLineServer::answer(accepted("\"3\"")), 0},
        DirectReplyCase{"NotAnObject", FakeLineServer::answer("[3]\n"), 0},
        DirectReplyCase{"CountWithoutNewline", FakeLineServer::answer(R"({"result":{"accepted":4}})"), 4}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Delivery, DirectRoadFailuresBeforeTheWritesEnd) {
    const std::string closed = closed_address();
    struct Case {
        std::string peer;
        std::string error;
    };
    const std::vector<Case> cases{
        {closed, refused(closed)},
        {"gate-without-port", "TCP connect to gate-without-port: invalid socket address"},
        {"127.0.0.1:http", "TCP connect to 127.0.0.1:http: invalid port value"},
    };
    for (const Case& c : cases) {
        Road road = via_tcp(c.peer);
        ASSERT_FALSE(road.has_value()) << c.peer;
        EXPECT_EQ(road.error(), c.error);
    }
}

TEST_F(Delivery, APeerThatNeverReadsEndsTheDirectRoadAtTheWriteLimit) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::never_read());
    payload_ = std::make_shared<const std::string>(std::string(32 * MIB, ' ') + PAYLOAD);
    sibling_client::Limits limits;
    limits.write = 300ms;
    Road road = via_tcp(peer->address(), limits);
    ASSERT_FALSE(road.has_value());
    EXPECT_EQ(road.error(), "Write payload to " + peer->address() + ": timed out");
}

// ---- The relay road ----------------------------------------------------------------------------

TEST_F(Delivery, RelayLineEmbedsTheRequestUnchanged) {
    auto reedhorn = start_reedhorn(FakeLineServer::answer(R"({"id":1,"jsonrpc":"2.0","result":{"accepted":2}})"
                                                          "\n"));
    Road road = via_relay("gate-without-port");
    ASSERT_TRUE(road.has_value()) << road.error();
    EXPECT_EQ(*road, 2u);
    ASSERT_EQ(reedhorn->received().size(), 1u);
    const std::string line = reedhorn->received()[0];
    EXPECT_EQ(line, relay_line("gate-without-port"));
    // The embedded request reads back as the very bytes the direct road writes.
    auto parsed = json::parse(std::string_view(line).substr(2));
    ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
    EXPECT_EQ(json::to_string((*parsed)["params"]["payload"]), PAYLOAD);
}

TEST_F(Delivery, RelayTargetIsWrittenAsAJsonString) {
    auto reedhorn = start_reedhorn(FakeLineServer::answer(accepted("1")));
    ASSERT_TRUE(via_relay("odd\"peer\\\n").has_value());
    EXPECT_EQ(reedhorn->received(), std::vector<std::string>{relay_line("odd\\\"peer\\\\\\n")});
}

struct RelayReplyCase {
    friend void PrintTo(const RelayReplyCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    FakeLineServer::Behaviour behaviour;
    Road road;
};

class RelayReplies : public Delivery, public ::testing::WithParamInterface<RelayReplyCase> {};

TEST_P(RelayReplies, AreJudgedByTheReplyTable) {
    auto reedhorn = start_reedhorn(GetParam().behaviour);
    sibling_client::Limits limits;
    limits.reply = 300ms;
    Road road = via_relay("10.0.0.5:7800", limits);
    ASSERT_EQ(road.has_value(), GetParam().road.has_value()) << (road ? "count" : road.error());
    if (road) {
        EXPECT_EQ(*road, *GetParam().road);
    } else {
        EXPECT_EQ(road.error(), GetParam().road.error());
    }
}

Road count(std::uint32_t n) { return n; }
Road error(std::string text) { return unexpected(std::move(text)); }

INSTANTIATE_TEST_SUITE_P(
    Cases, RelayReplies,
    ::testing::Values(
        RelayReplyCase{"Count", FakeLineServer::answer(accepted("7")), count(7)},
        RelayReplyCase{"CountIsCapped", FakeLineServer::answer(accepted("4294967296")), count(4294967295u)},
        RelayReplyCase{"NegativeCount", FakeLineServer::answer(accepted("-3")), count(0)},
        RelayReplyCase{"BareNumber", FakeLineServer::answer("5\n"), count(0)},
        RelayReplyCase{"Array", FakeLineServer::answer("[]\n"), count(0)},
        RelayReplyCase{"ObjectWithoutResult", FakeLineServer::answer("{\"id\":1}\n"), count(0)},
        RelayReplyCase{
            "MethodNotFound",
            FakeLineServer::answer(R"({"error":{"code":-32601,"message":"Method not found"},"id":1,"jsonrpc":"2.0"})"
                                   "\n"),
            error(R"(reedHorn relay error: {"code":-32601,"message":"Method not found"})")},
        RelayReplyCase{"NullError",
                       FakeLineServer::answer(R"({"error":null,"result":{"accepted":2}})"
                                              "\n"),
                       error("reedHorn relay error: null")},
        RelayReplyCase{"TextError",
                       FakeLineServer::answer(R"({"error":"no route\u0007"})"
                                              "\n"),
                       error(R"(reedHorn relay error: "no route\u0007")")},
        RelayReplyCase{"OnlyANewline", FakeLineServer::answer("\n"),
                       error("Invalid relay response: EOF while parsing a value at line 2 column 0")},
        RelayReplyCase{"NotJson", FakeLineServer::answer("nope\n"),
                       error("Invalid relay response: expected ident at line 1 column 2")},
        RelayReplyCase{"PastTheCap", FakeLineServer::answer(std::string(MIB + 1, '7') + "\n"),
                       error("Invalid relay response: reply longer than 1048576 bytes")},
        RelayReplyCase{"NotUtf8", FakeLineServer::answer("\xC0\xAF\n"),
                       error("Read error from reedHorn relay: stream did not contain valid UTF-8")},
        RelayReplyCase{"ClosedWithoutAByte", FakeLineServer::answer(""), error("Empty response from reedHorn relay")},
        RelayReplyCase{"Silent", FakeLineServer::silent(), error("Timeout reading reedHorn relay response")}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(Delivery, RelayRoadFailuresBeforeTheReply) {
    EXPECT_EQ(via_relay("10.0.0.5:7800").error(), "reedHorn socket not found for relay");
    std::ofstream(reedhorn_path_).put('x');
    reedhorn_env_.set(reedhorn_path_);
    EXPECT_EQ(via_relay("10.0.0.5:7800").error(),
              "Cannot connect to reedHorn for relay: Connection refused (os error 111)");
}

TEST_F(Delivery, AReedhornThatNeverReadsEndsTheRelayAtTheWriteLimit) {
    auto reedhorn = start_reedhorn(FakeLineServer::never_read());
    payload_ = std::make_shared<const std::string>(R"({"pad":")" + std::string(32 * MIB, ' ') + "\"}");
    sibling_client::Limits limits;
    limits.write = 300ms;
    EXPECT_EQ(via_relay("10.0.0.5:7800", limits).error(), "Write relay payload to reedHorn: timed out");
}

// ---- The delivery task -----------------------------------------------------------------------------

class DeliveryTask : public Delivery {
protected:
    void deliver(const std::string& peer) { run(spread_to_peer(SpreadTask{peer, payload_, store_})); }
    std::optional<gossip::PeerStats> stats_of(const std::string& peer) const {
        auto stats = store_->peer_stats();
        auto found = stats.find(peer);
        if (found == stats.end()) return std::nullopt;
        return found->second;
    }

    std::shared_ptr<gossip::GossipStore> store_ = testing::make_started_store();
};

const std::string DEBUG_LINE = "DEBUG quillfern_server::spread: ";

TEST_F(DeliveryTask, DirectDeliveryIsLoggedAndRecordedWithTheReportedCount) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(accepted("3")));
    auto reedhorn = start_reedhorn(FakeLineServer::answer(accepted("9")));
    deliver(peer->address());
    EXPECT_EQ(events(), std::vector<std::string>{
                            DEBUG_LINE + "Gossip spread delivered via TCP peer=" + peer->address() + " accepted=3"});
    EXPECT_EQ(stats_of(peer->address()), (gossip::PeerStats{0, 3, testing::kNow, 0}));
    EXPECT_EQ(reedhorn->connections(), 0u);
}

TEST_F(DeliveryTask, APeerThatClosesUnansweredStillCountsAsDelivered) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(""));
    auto reedhorn = start_reedhorn(FakeLineServer::answer(accepted("9")));
    deliver(peer->address());
    EXPECT_EQ(stats_of(peer->address()), (gossip::PeerStats{0, 0, testing::kNow, 0}));
    EXPECT_EQ(reedhorn->connections(), 0u);
}

TEST_F(DeliveryTask, FallsBackToTheRelayWhenTheDirectRoadFails) {
    const std::string peer = closed_address();
    auto reedhorn = start_reedhorn(FakeLineServer::answer(accepted("2")));
    deliver(peer);
    EXPECT_EQ(events(),
              (std::vector<std::string>{
                  DEBUG_LINE + "TCP spread failed, trying reedHorn relay peer=" + peer + " error=" + refused(peer),
                  DEBUG_LINE + "Gossip spread delivered via reedHorn relay peer=" + peer + " accepted=2",
              }));
    EXPECT_EQ(reedhorn->received(), std::vector<std::string>{relay_line(peer)});
    EXPECT_EQ(stats_of(peer), (gossip::PeerStats{0, 2, testing::kNow, 0}));
}

TEST_F(DeliveryTask, BothRoadsFailingIsOneWarningAndNothingRecorded) {
    const std::string peer = closed_address();
    deliver(peer);
    EXPECT_EQ(events(),
              (std::vector<std::string>{
                  DEBUG_LINE + "TCP spread failed, trying reedHorn relay peer=" + peer + " error=" + refused(peer),
                  " WARN quillfern_server::spread: Gossip spread failed (TCP + relay) peer=" + peer +
                      " tcp_error=" + refused(peer) + " relay_error=reedHorn socket not found for relay",
              }));
    EXPECT_TRUE(store_->peer_stats().empty());
}

TEST_F(DeliveryTask, TextsFromPeersAndSiblingsReachTheLogEscaped) {
    auto reedhorn = start_reedhorn(FakeLineServer::answer("\x1b[2J\r\n"));
    deliver("gate\x1b[31m");
    const auto lines = events();
    ASSERT_EQ(lines.size(), 2u);
    for (const std::string& line : lines) {
        for (char c : line) EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20) << line;
    }
    EXPECT_TRUE(store_->peer_stats().empty());
}

}  // namespace
}  // namespace quillfern::mesh
