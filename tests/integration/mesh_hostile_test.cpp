// The real binary beside hostile peers and siblings: a thornKit that accepts and never
// answers while senders flood the gate with batches and close at once, and peers that
// hold every delivery unanswered. The good peers and local clients are served all along.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "hostile_mesh.hpp"
#include "process_status.hpp"

namespace quillfern::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

std::size_t open_descriptors(pid_t pid) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++count;
    return count;
}

// ---- A thornKit that never answers, and senders that close at once --------------------------

struct FloodCase {
    const char* name;
    bool tcp;  // the senders come to the gossip port, else to the main socket
};
void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

class ThornkitFlood : public HostileMesh, public ::testing::WithParamInterface<FloodCase> {};

// 600 senders each send a batch of 100 entries and close at once, under 1,024 descriptors.
// Each check would cost 500 ms; the checks in flight stay within their bound, a sender
// that waits for its reply gets it, and the local clients are served throughout.
TEST_P(ThornkitFlood, SendersThatCloseAtOnceCostTheGateNeitherDescriptorsNorItsClients) {
    constexpr int kSenders = 600, kEntries = 100;
    auto thornkit = FakeLineServer::on_unix_socket(dir.file("thornkit.sock"), FakeLineServer::silent());
    auto server = start({});
    const std::string batch = spread_line("flood-", kEntries, "null");
    for (int i = 0; i < kSenders; ++i) {
        Client sender = GetParam().tcp ? peer() : local();
        sender.send(batch);
    }  // each closed as it goes
    expect_alive();
    inject("local-during-flood");

    // A sender that waits for its reply, as a gate does.
    Client good = GetParam().tcp ? peer() : local();
    good.send(spread_line("good-", 3));
    EXPECT_EQ(good.read_line(std::chrono::seconds(20)),
              R"({"id":1,"jsonrpc":"2.0","result":{"accepted":3,"rejected":0}})");
    expect_alive();
    inject("local-after-flood");

    const std::size_t descriptors = open_descriptors(server->pid());
    EXPECT_LT(descriptors, 1024u);
    EXPECT_LE(thornkit->peak_open(), 32u);  // the bound on checks in flight
    const std::string out = server->out();
    EXPECT_THAT(out, Not(HasSubstr("Accept error")));
    EXPECT_THAT(out, HasSubstr(" WARN quillfern_server::dispatch: "));
    std::cout << "senders=" << kSenders << " thornkit_connections=" << thornkit->connections()
              << " thornkit_peak_open=" << thornkit->peak_open() << " descriptors_after=" << descriptors
              << " gone_warnings=" << count_of(out, "Gossip batch sender has gone")
              << " peak_rss_mib=" << status_bytes(server->pid(), "VmHWM") / (1024 * 1024) << "\n";
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(Sockets, ThornkitFlood,
                         ::testing::Values(FloodCase{"MainSocket", false}, FloodCase{"GossipPort", true}),
                         [](const auto& info) { return std::string(info.param.name); });

// On a Unix socket a sender that has closed is told from one that shut down its sending
// side: the first is left at once (its batch is not checked for no one), the second is
// answered after every entry was checked.
TEST_F(HostileMesh, AHalfClosedSenderIsAnsweredAndAClosedOneIsLeft) {
    auto thornkit = FakeLineServer::on_unix_socket(dir.file("thornkit.sock"), FakeLineServer::silent());
    auto server = start({});
    {
        Client closed = local();
        closed.send(spread_line("closed-", 50));
    }
    ASSERT_TRUE(
        server->wait_for_output(" WARN quillfern_server::dispatch: Gossip batch sender has gone — rest of the "
                                "batch left unchecked from=gate-z left="))
        << server->out();
    const std::size_t checks_for_the_closed = thornkit->connections();
    EXPECT_LE(checks_for_the_closed, 1u);

    Client half_closed = local();
    half_closed.send(spread_line("half-", 2));
    half_closed.shutdown_write();
    EXPECT_EQ(half_closed.read_line(std::chrono::seconds(10)),
              R"({"id":1,"jsonrpc":"2.0","result":{"accepted":2,"rejected":0}})");
    EXPECT_EQ(thornkit->connections(), checks_for_the_closed + 2);
}

// ---- Peers that hold every delivery ---------------------------------------------------------

// A peer that reads each batch and never answers, listed first: the good peer gets every
// sweep's batch while the silent peer's first delivery still waits for its reply, and the
// silent peer never has more than one delivery at a time.
TEST_F(HostileMesh, ASilentPeerDelaysOnlyItself) {
    auto silent = FakeLineServer::on_tcp_port(FakeLineServer::silent());
    auto good = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED));
    auto server = start({{"QUILLFERN_PEERS", silent->address() + "," + good->address()}});
    ASSERT_TRUE(silent->wait_for_requests(1));  // the start-up sweep's batch
    inject("k-1");
    ASSERT_TRUE(wait_for_key(*good, "k-1")) << server->out();
    // It came while the silent peer's first delivery waited out its 3 s.
    EXPECT_EQ(silent->connections(), 1u);
    inject("k-2");
    ASSERT_TRUE(wait_for_key(*good, "k-2")) << server->out();
    ASSERT_TRUE(wait_for_key(*silent, "k-2")) << server->out();
    EXPECT_EQ(silent->peak_open(), 1u);
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

// reedHorn names 1,024 peers where nothing listens and holds every relay unanswered, so
// each of their deliveries takes 3 s: the deliveries in flight stay within 64, the sweeps
// keep their schedule, and a listed good peer gets every local entry.
TEST_F(HostileMesh, AThousandSilentPeersLeaveTheGoodPeerItsDeliveries) {
    std::string records;
    for (int i = 0; i < 1024; ++i) {
        records += (i == 0 ? "" : ",") + std::string(R"({"addr":"127.1.)") + std::to_string(i / 250) + "." +
                   std::to_string(i % 250 + 1) + R"("})";
    }
    auto mesh_peers =
        std::make_shared<const std::string>(R"({"id":1,"jsonrpc":"2.0","result":{"peers":[)" + records + "]}}\n");
    auto reedhorn = FakeLineServer::on_unix_socket(
        dir.file("rh.sock"), FakeLineServer::route([mesh_peers](std::string_view request) {
            return request.find(R"("method":"mesh.peers")") != std::string_view::npos ? *mesh_peers : std::string();
        }));
    auto good = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED));
    auto server = start({{"QUILLFERN_PEERS", good->address()}, {"REEDHORN_SOCKET", dir.file("rh.sock")}});
    // Past the first round of relays: the silent peers are slow ones from now on.
    ASSERT_TRUE(reedhorn->wait_for_connections(200, std::chrono::seconds(30))) << server->out();
    for (int i = 0; i < 5; ++i) {
        const std::string key = "k-crowd-" + std::to_string(i);
        inject(key);
        ASSERT_TRUE(wait_for_key(*good, key)) << server->out();
        expect_alive();
    }
    // The relays in flight and the sweeps' own "mesh.peers" exchanges.
    EXPECT_LE(reedhorn->peak_open(), 64u + 2);
    const std::size_t descriptors = open_descriptors(server->pid());
    EXPECT_LT(descriptors, 200u);
    const std::string out = server->out();
    EXPECT_THAT(out, Not(HasSubstr("Accept error")));
    std::cout << "silent_peers=1024 relay_connections=" << reedhorn->connections()
              << " relay_peak_open=" << reedhorn->peak_open() << " good_batches=" << good->received().size()
              << " sweeps=" << count_of(out, "Epidemic sweep: spreading gossip to peers")
              << " skip_warnings=" << count_of(out, "Gossip spread skipped for a peer that is behind")
              << " descriptors=" << descriptors << "\n";
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

}  // namespace
}  // namespace quillfern::testing
