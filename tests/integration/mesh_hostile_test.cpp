// The real binary beside hostile peers and siblings: a thornKit that accepts and never
// answers while senders flood the gate with batches and close at once, and peers that
// hold every delivery unanswered. The good peers and local clients are served all along.
#include <sys/resource.h>
#include <sys/socket.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_line_server.hpp"
#include "free_tcp_port.hpp"
#include "process_status.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

const std::string ACCEPTED = R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"
                             "\n";

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

std::size_t open_descriptors(pid_t pid) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
        ++count;
    return count;
}

// A "gossip.spread" request line of `entries` entries keyed `prefix`0, `prefix`1, ...
std::string spread_line(const std::string& prefix, int entries, const std::string& id = "1") {
    const std::uint64_t now = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    std::string list;
    for (int i = 0; i < entries; ++i) {
        list += (i ? "," : "");
        list += R"({"created_at_epoch":)" + std::to_string(now) + R"(,"expires_at_epoch":)" +
                std::to_string(now + 600) + R"(,"key":")" + prefix + std::to_string(i) + R"(","nonce":")" + prefix +
                "n" + std::to_string(i) +
                R"(","origin_gate":"gate-z","payload":{"v":1},"topic":"data","ttl":3,)"
                R"("version":1})";
    }
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)" + list +
           R"(],"from":"gate-z"}})"
           "\n";
}

class HostileMesh : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> start(std::map<std::string, std::string> extra) {
        std::map<std::string, std::string> env{{"VELLUMAR_RUNTIME_DIR", dir.path()},
                                               {"NO_COLOR", "1"},
                                               {"GATE_ID", "gate-test"},
                                               {"TOKIO_WORKER_THREADS", "2"},
                                               {"RUST_LOG", "info"},
                                               {"GOSSIP_PORT", std::to_string(free_tcp_port())}};
        for (auto& [k, v] : extra) env[k] = v;
        ServerProcess::Options options{{"--spread-interval", "1", "--gossip-port", std::to_string(gossip_port)}, env};
        options.limits = {{RLIMIT_NOFILE, 1024}};
        auto server = std::make_unique<ServerProcess>(std::move(options));
        EXPECT_TRUE(server->wait_for_output("Listening on ")) << server->out() << server->err();
        EXPECT_TRUE(server->wait_for_output("Cross-gate gossip listener started")) << server->out();
        return server;
    }
    Client local() {
        Client c = Client::unix_socket(dir.file("quillfern.sock"));
        c.send("PROTOCOLS: jsonrpc\n");
        EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
        return c;
    }
    Client peer() {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(gossip_port);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            throw std::runtime_error("connect to the gossip port failed");
        }
        Client c = Client::adopt(fd);
        c.send("\xEC\x01");
        return c;
    }
    void expect_alive() {
        Client c = local();
        c.send(R"({"jsonrpc":"2.0","id":1,"method":"health.liveness"})"
               "\n");
        EXPECT_EQ(c.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{"alive":true}})");
    }
    void inject(const std::string& key) {
        Client c = local();
        c.send(R"({"id":1,"jsonrpc":"2.0","method":"gossip.inject","params":{"topic":"data","key":")" + key +
               R"(","payload":{"v":1}}})"
               "\n");
        EXPECT_EQ(c.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-test","result":"Accepted"}})");
    }

    // Waits until `peer` has received a batch holding `key`.
    static bool wait_for_key(FakeLineServer& peer_server, const std::string& key) {
        for (;;) {
            const std::vector<std::string> batches = peer_server.received();
            for (const std::string& batch : batches)
                if (batch.find("\"key\":\"" + key + "\"") != std::string::npos) return true;
            if (!peer_server.wait_for_requests(batches.size() + 1)) return false;
        }
    }

    TempDir dir;
    std::uint16_t gossip_port = free_tcp_port();
};

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
