// The real binary's spread loop: an injected entry leaves for the listed peers within a
// spread interval, directly or, when the peer can't be reached, through reedHorn; and a
// reedHorn naming a huge peer list can't take the gate's descriptors.
#include <sys/resource.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_line_server.hpp"
#include "free_tcp_port.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

const std::string ACCEPTED = R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"
                             "\n";

class SpreadProcess : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> start(std::map<std::string, std::string> extra,
                                         std::vector<std::pair<int, rlim_t>> limits = {}) {
        std::map<std::string, std::string> env{{"VELLUMAR_RUNTIME_DIR", dir.path()},
                                               {"NO_COLOR", "1"},
                                               {"GATE_ID", "gate-test"},
                                               {"TOKIO_WORKER_THREADS", "2"},
                                               {"RUST_LOG", "info,quillfern_server::spread=debug"},
                                               {"GOSSIP_PORT", std::to_string(free_tcp_port())}};
        for (auto& [k, v] : extra) env[k] = v;
        ServerProcess::Options options{{"--spread-interval", "1"}, env};
        options.limits = std::move(limits);
        auto server = std::make_unique<ServerProcess>(std::move(options));
        EXPECT_TRUE(server->wait_for_output("Listening on ")) << server->out() << server->err();
        return server;
    }
    void inject(const std::string& key) {
        Client c = Client::unix_socket(dir.file("quillfern.sock"));
        c.send("PROTOCOLS: jsonrpc\n");
        ASSERT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
        c.send(R"({"id":1,"jsonrpc":"2.0","method":"gossip.inject","params":{"topic":"data","key":")" + key +
               R"(","payload":{"v":1}}})"
               "\n");
        ASSERT_EQ(c.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-test","result":"Accepted"}})");
    }
    // The first batch the peer received that holds `key`, waiting for it: the heartbeat
    // queued at start-up may go out in a batch of its own first.
    static std::string batch_with(const FakeLineServer& peer, const std::string& key) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        do {
            for (const std::string& batch : peer.received())
                if (batch.find("\"key\":\"" + key + "\"") != std::string::npos) return batch;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        } while (std::chrono::steady_clock::now() < deadline);
        return {};
    }

    TempDir dir;
};

TEST_F(SpreadProcess, AnInjectedEntryReachesTheListedPeer) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED));
    auto server = start({{"QUILLFERN_PEERS", peer->address()}});
    inject("k-direct");
    ASSERT_TRUE(server->wait_for_output("Gossip spread delivered via TCP peer=" + peer->address())) << server->out();
    const std::string batch = batch_with(*peer, "k-direct");
    EXPECT_THAT(batch, StartsWith("\xEC\x01"
                                  R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)"));
    EXPECT_THAT(batch, HasSubstr(R"("origin_gate":"gate-test","payload":{"v":1},"topic":"data","ttl":7,)"));
    EXPECT_THAT(batch, ::testing::EndsWith(R"(],"from":"gate-test"}})"
                                           "\n"));
    EXPECT_THAT(server->out(),
                HasSubstr(" INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries="));
}

TEST_F(SpreadProcess, AnUnreachablePeerGetsTheBatchThroughTheRelay) {
    auto gone = FakeLineServer::on_tcp_port(FakeLineServer::close_at_once());
    const std::string peer = gone->address();
    gone->stop();
    auto reedhorn = FakeLineServer::on_unix_socket(dir.file("rh.sock"), FakeLineServer::answer(ACCEPTED));
    auto server = start({{"QUILLFERN_PEERS", peer}, {"REEDHORN_SOCKET", dir.file("rh.sock")}});
    inject("k-relay");
    ASSERT_TRUE(server->wait_for_output("Gossip spread delivered via reedHorn relay peer=" + peer + " accepted=1"))
        << server->out();
    EXPECT_THAT(server->out(), HasSubstr("TCP spread failed, trying reedHorn relay peer=" + peer +
                                         " error=TCP connect to " + peer + ": Connection refused (os error 111)"));
    const std::string relayed = batch_with(*reedhorn, "k-relay");
    EXPECT_THAT(relayed,
                StartsWith("\xEC\x01"
                           R"({"id":1,"jsonrpc":"2.0","method":"gossip.relay","params":{"payload":{"id":null,)"));
    EXPECT_THAT(relayed, ::testing::EndsWith(R"(,"target_method":"gossip.spread","target_peer":")" + peer + "\"}}\n"));
}

// A reedHorn that names 20,000 peers where nothing listens and holds every relay
// connection without a word: each delivery then holds one relay connection for the reply's
// 3 s, so the relay connections open at once are the deliveries under way.
TEST_F(SpreadProcess, AHugePeerListLeavesTheGateItsDescriptors) {
    std::string records;
    for (int i = 0; i < 20000; ++i) {
        records += (i == 0 ? "" : ",") + std::string(R"({"addr":"127.1.)") + std::to_string(i / 250) + "." +
                   std::to_string(i % 250 + 1) + R"("})";
    }
    auto mesh_peers =
        std::make_shared<const std::string>(R"({"id":1,"jsonrpc":"2.0","result":{"peers":[)" + records + "]}}\n");
    const std::string reedhorn_path = dir.file("rh.sock");
    auto server = start({{"REEDHORN_SOCKET", reedhorn_path}, {"RUST_LOG", "info"}}, {{RLIMIT_NOFILE, 1024}});
    // reedHorn comes up once the registration has passed it by: from then on only the
    // sweep's exchanges reach it.
    ASSERT_TRUE(server->wait_for_output("Reedhorn socket not found — skipping ipc.register")) << server->out();
    auto reedhorn = FakeLineServer::on_unix_socket(
        reedhorn_path, FakeLineServer::route([mesh_peers](std::string_view request) {
            return request.find(R"("method":"mesh.peers")") != std::string_view::npos ? *mesh_peers : std::string();
        }));

    // Local calls while the deliveries run, each once a few more relay connections have come.
    for (std::size_t i = 0; i < 20; ++i) {
        ASSERT_TRUE(reedhorn->wait_for_connections(2 + 5 * i, std::chrono::seconds(20))) << server->out();
        inject("k-huge-" + std::to_string(i));
    }
    // The relays in flight, and a sweep's own "mesh.peers" exchange beside them (each tick
    // asks, whatever the deliveries are doing).
    EXPECT_GE(reedhorn->peak_open(), 56u);
    EXPECT_LE(reedhorn->peak_open(), 64u + 1);
    const std::string out = server->out();
    EXPECT_THAT(out, HasSubstr(" WARN quillfern_server::spread: reedHorn named more peers than a sweep takes; the "
                               "rest are left out taken=1024 left_out=18976\n"));
    EXPECT_THAT(out, ::testing::Not(HasSubstr("Accept error")));
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

}  // namespace
}  // namespace quillfern::testing
