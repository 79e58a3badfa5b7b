// Peer discovery: the environment's list, reedHorn's "mesh.peers" and the gossip address
// of one peer record.
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "spread_fixture.hpp"

namespace quillfern::mesh {
namespace {

using namespace std::chrono_literals;
using testing::EnvGuard;
using testing::FakeLineServer;
using Peers = std::vector<std::string>;

const std::string MESH_PEERS_BYTES =
    "\xEC\x01"
    R"({"id":1,"jsonrpc":"2.0","method":"mesh.peers","params":{}})"
    "\n";

// ---- Small helpers -------------------------------------------------------------------------

// ---- The gossip address of one record --------------------------------------------------------

struct RecordCase {
    const char* record;
    std::optional<std::string> addr;
};

TEST(PeerGossipAddr, CutsTheHostAndAddsTheGossipPort) {
    const std::vector<RecordCase> cases{
        // The host cut, with the record's own port dropped.
        {R"({"addr":"10.0.0.5:700"})", "10.0.0.5:7800"},
        {R"({"addr":"10.0.0.5"})", "10.0.0.5:7800"},
        {R"({"addr":"[fe80::1]:700"})", "[fe80::1]:7800"},
        {R"({"addr":"fe80::1"})", "fe80::7800"},
        {R"({"addr":"LOCALHOST:700"})", "LOCALHOST:7800"},
        {R"({"addr":"gate.example:1:2"})", "gate.example:1:7800"},
        // Loopback and empty hosts are refused.
        {R"({"addr":"::1:700"})", std::nullopt},
        {R"({"addr":"[::1]:700"})", std::nullopt},
        {R"({"addr":"[::1]"})", std::nullopt},
        {R"({"addr":"localhost:700"})", std::nullopt},
        {R"({"addr":"127.0.0.1:700"})", std::nullopt},
        {R"({"addr":":700"})", std::nullopt},
        {R"({"addr":""})", std::nullopt},
        // Which member is read.
        {R"({"address":"10.0.0.9"})", "10.0.0.9:7800"},
        {R"({"endpoint":"10.0.0.8:1"})", "10.0.0.8:7800"},
        {R"({"address":"10.0.0.2","endpoint":"10.0.0.3"})", "10.0.0.2:7800"},
        {R"({"addr":5,"address":"10.0.0.1","paths":[{"endpoint":"10.0.0.2:1"}]})", "10.0.0.2:7800"},
        {R"({"addr":5,"address":"10.0.0.1"})", std::nullopt},
        {R"({"addr":"127.0.0.1:700","paths":[{"endpoint":"10.0.0.2:1"}]})", std::nullopt},
        // "paths": the first usable endpoint.
        {R"({"paths":[{"endpoint":"localhost:1"},{"endpoint":"10.0.0.3:1"}]})", "10.0.0.3:7800"},
        {R"({"paths":["10.0.0.4:1",{},{"endpoint":7},{"endpoint":"10.0.0.5:1"}]})", "10.0.0.5:7800"},
        {R"({"paths":[]})", std::nullopt},
        {R"({"paths":{"endpoint":"10.0.0.6:1"}})", std::nullopt},
        // Not a record.
        {R"({})", std::nullopt},
        {R"("10.0.0.7:1")", std::nullopt},
        {R"(["10.0.0.7:1"])", std::nullopt},
        {R"(null)", std::nullopt},
        {R"({"name":"gate-c"})", std::nullopt},
    };
    for (const RecordCase& c : cases) {
        auto record = json::parse(c.record);
        ASSERT_TRUE(record.has_value()) << c.record;
        EXPECT_EQ(peer_gossip_addr(*record, 7800), c.addr) << c.record;
    }
    auto record = json::parse(R"({"addr":"10.0.0.5:700"})");
    EXPECT_EQ(peer_gossip_addr(*record, 0), "10.0.0.5:0");
    EXPECT_EQ(peer_gossip_addr(*record, 65535), "10.0.0.5:65535");
}

// ---- The environment's list --------------------------------------------------------------------

class DiscoverPeers : public testing::SpreadTest {};

TEST_F(DiscoverPeers, TakesTheListedItemsTrimmedWithDuplicates) {
    struct Case {
        std::optional<std::string> value;
        Peers peers;
        std::vector<std::string> events;
    };
    const std::string line = "DEBUG quillfern_server::spread: Discovered peers from QUILLFERN_PEERS count=";
    const std::vector<Case> cases{
        {" a:1 , \t ,b:2,a:1", {"a:1", "b:2", "a:1"}, {line + "3 source=\"env\""}},
        {"\u00A0c:3\u2028,,", {"c:3"}, {line + "1 source=\"env\""}},
        {"", {}, {line + "0 source=\"env\""}},
        {" , ", {}, {line + "0 source=\"env\""}},
        {std::nullopt, {}, {}},
        {"\xFF"
         "a:1",
         {},
         {}},  // not UTF-8: as if unset
    };
    for (const Case& c : cases) {
        log::testing::Capture capture("quillfern_server::spread=debug");
        peers_env_.set(c.value);
        EXPECT_EQ(run(discover_peers()), c.peers) << (c.value ? *c.value : "(unset)");
        EXPECT_EQ(capture.events(), c.events);
    }
}

// ---- reedHorn's "mesh.peers" ----------------------------------------------------------------------

std::string reply(const std::string& result) { return R"({"id":1,"jsonrpc":"2.0","result":)" + result + "}\n"; }

struct MeshPeersCase {
    friend void PrintTo(const MeshPeersCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::string reply;
    std::optional<Peers> peers;
};

class MeshPeersReplies : public testing::SpreadTest, public ::testing::WithParamInterface<MeshPeersCase> {};

TEST_P(MeshPeersReplies, GiveTheAddressesOfTheRecords) {
    auto reedhorn = start_reedhorn(FakeLineServer::answer(GetParam().reply));
    auto peers = run(query_mesh_peers(reedhorn_path_));
    EXPECT_EQ(peers, GetParam().peers);
    EXPECT_EQ(reedhorn->received(), std::vector<std::string>{MESH_PEERS_BYTES});
    std::vector<std::string> expected_events;
    if (GetParam().peers) {
        std::string list;
        for (const auto& peer : *GetParam().peers) list += (list.empty() ? "\"" : ", \"") + peer + "\"";
        expected_events.push_back("DEBUG quillfern_server::spread: reedHorn mesh.peers resolved addresses peers=[" +
                                  list + "]");
    }
    EXPECT_EQ(events(), expected_events);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, MeshPeersReplies,
    ::testing::Values(
        MeshPeersCase{"PeersArray", reply(R"({"peers":[{"addr":"10.0.0.5:700"},{"address":"10.0.0.6"}]})"),
                      Peers{"10.0.0.5:7800", "10.0.0.6:7800"}},
        MeshPeersCase{"DuplicatesAreKept", reply(R"({"peers":[{"addr":"10.0.0.5:1"},{"addr":"10.0.0.5:2"}]})"),
                      Peers{"10.0.0.5:7800", "10.0.0.5:7800"}},
        MeshPeersCase{"MemberValuesInKeyOrder", reply(R"({"zeta":{"address":"10.0.0.9"},"alpha":{"addr":"10.0.0.8"}})"),
                      Peers{"10.0.0.8:7800", "10.0.0.9:7800"}},
        MeshPeersCase{"PeersOfBareStringsGiveNothing", reply(R"({"peers":["10.0.0.5:700"]})"), std::nullopt},
        MeshPeersCase{"UnusablePeersFallBackToMembers",
                      reply(R"({"peers":[{"addr":"localhost"}],"self":{"addr":"10.0.0.4"}})"), Peers{"10.0.0.4:7800"}},
        MeshPeersCase{"ResultNotAnObject", reply(R"([{"addr":"10.0.0.5"}])"), std::nullopt},
        MeshPeersCase{"NoResult",
                      R"({"error":{"code":-1},"peers":[{"addr":"10.0.0.5"}]})"
                      "\n",
                      std::nullopt},
        MeshPeersCase{"NotJson", "peers: 10.0.0.5\n", std::nullopt},
        MeshPeersCase{"NotUtf8", "{\"result\":{\"x\":{\"addr\":\"\xFF\"}}}\n", std::nullopt},
        MeshPeersCase{"WithoutNewlineBeforeClose",
                      R"({"id":1,"jsonrpc":"2.0","result":{"peers":[{"addr":"10.0.0.5"}]}})", Peers{"10.0.0.5:7800"}},
        MeshPeersCase{"PastTheCap",
                      reply(R"({"peers":[{"addr":"10.0.0.5","pad":")" + std::string(1 << 20, 'p') + "\"}]}"),
                      std::nullopt},
        MeshPeersCase{"ClosedWithoutReply", "", std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DiscoverPeers, UsesTheGossipPortOfTheEnvironment) {
    port_env_.set("+7801");
    auto reedhorn = start_reedhorn(FakeLineServer::answer(reply(R"({"peers":[{"addr":"10.0.0.5:700"}]})")));
    EXPECT_EQ(run(query_mesh_peers(reedhorn_path_)), Peers{"10.0.0.5:7801"});
}

TEST_F(DiscoverPeers, ASilentReedhornGivesNothingAtTheReplyLimit) {
    auto reedhorn = start_reedhorn(FakeLineServer::silent());
    sibling_client::Limits limits;
    limits.reply = 200ms;
    EXPECT_EQ(run(query_mesh_peers(reedhorn_path_, limits)), std::nullopt);
    EXPECT_TRUE(events().empty());
}

TEST_F(DiscoverPeers, AFileThatIsNoSocketLogsTheConnectError) {
    std::ofstream(reedhorn_path_).put('x');
    reedhorn_env_.set(reedhorn_path_);
    EXPECT_EQ(run(discover_peers()), Peers{});
    EXPECT_EQ(events(), std::vector<std::string>{"DEBUG quillfern_server::spread: Cannot connect to reedHorn for peer "
                                                 "discovery error=Connection refused (os error 111)"});
}

TEST_F(DiscoverPeers, AddsReedhornsAddressesNotListedYet) {
    peers_env_.set("10.0.0.5:7800,10.0.0.5:7800");
    auto reedhorn = start_reedhorn(FakeLineServer::answer(
        reply(R"({"peers":[{"addr":"10.0.0.5"},{"addr":"10.0.0.6"},{"addr":"10.0.0.6:9"},{"addr":"10.0.0.7"}]})")));
    EXPECT_EQ(run(discover_peers()), (Peers{"10.0.0.5:7800", "10.0.0.5:7800", "10.0.0.6:7800", "10.0.0.7:7800"}));
    EXPECT_EQ(events(),
              (std::vector<std::string>{
                  "DEBUG quillfern_server::spread: Discovered peers from QUILLFERN_PEERS count=2 source=\"env\"",
                  "DEBUG quillfern_server::spread: reedHorn mesh.peers resolved addresses peers=["
                  "\"10.0.0.5:7800\", \"10.0.0.6:7800\", \"10.0.0.6:7800\", \"10.0.0.7:7800\"]",
                  "DEBUG quillfern_server::spread: Discovered peers from mesh.peers count=2 source=\"reedhorn\"",
              }));
}

TEST_F(DiscoverPeers, TakesAtMostTheCapOfReedhornsNewAddressesInItsOrder) {
    peers_env_.set("10.9.0.1:7800");
    // The listed address first, then 1,030 new ones each named twice in a row, then the
    // first new one again: only distinct new addresses count, against the cap and beyond it.
    auto host = [](std::size_t i) { return "10.1." + std::to_string(i / 256) + "." + std::to_string(i % 256); };
    std::string records = R"({"addr":"10.9.0.1"})";
    for (std::size_t i = 0; i < kMaxReedhornPeers + 6; ++i) {
        records += R"(,{"addr":")" + host(i) + R"(:1"},{"address":")" + host(i) + R"("})";
    }
    records += R"(,{"addr":")" + host(0) + R"("})";
    auto reedhorn = start_reedhorn(FakeLineServer::answer(reply(R"({"peers":[)" + records + "]}")));

    Peers expected{"10.9.0.1:7800"};
    for (std::size_t i = 0; i < kMaxReedhornPeers; ++i) expected.push_back(host(i) + ":7800");
    EXPECT_EQ(run(discover_peers()), expected);
    const std::vector<std::string> logged = events();
    ASSERT_EQ(logged.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(logged.begin() + 2, logged.end()),
              (std::vector<std::string>{
                  "DEBUG quillfern_server::spread: Discovered peers from mesh.peers count=1024 source=\"reedhorn\"",
                  " WARN quillfern_server::spread: reedHorn named more peers than a sweep takes; the rest are left "
                  "out taken=1024 left_out=6",
              }));
}

TEST_F(DiscoverPeers, NothingNewFromReedhornLogsNoCount) {
    peers_env_.set("10.0.0.5:7800");
    auto reedhorn = start_reedhorn(FakeLineServer::answer(reply(R"({"peers":[{"addr":"10.0.0.5"}]})")));
    EXPECT_EQ(run(discover_peers()), Peers{"10.0.0.5:7800"});
    EXPECT_EQ(events().size(), 2u);  // the environment's line and the resolved addresses
}

TEST_F(DiscoverPeers, ReedhornInTheRuntimeDirectoryIsAskedWithoutOverride) {
    auto reedhorn = FakeLineServer::on_unix_socket(dir_.file("reedhorn.sock"),
                                                   FakeLineServer::answer(reply(R"({"peers":[{"addr":"10.1.1.1"}]})")));
    EXPECT_EQ(run(discover_peers()), Peers{"10.1.1.1:7800"});
    EXPECT_EQ(reedhorn->received(), std::vector<std::string>{MESH_PEERS_BYTES});
}

}  // namespace
}  // namespace quillfern::mesh
