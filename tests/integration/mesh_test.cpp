// Several real quillfern processes on loopback, gossiping through QUILLFERN_PEERS with a
// short spread interval: entries travel gate to gate with one hop less each time, fall
// back to reedHorn's relay when a peer can't be reached, the heartbeat is renewed on
// every eviction tick, and expired entries leave the store.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "fake_line_server.hpp"
#include "free_tcp_port.hpp"
#include "quillfern/json.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

using ::testing::HasSubstr;

// Polls `condition` until it holds or the (generous) deadline passes.
bool eventually(const std::function<bool()>& condition, std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return condition();
}

std::size_t count_of(const std::string& text, std::string_view needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

std::uint64_t unix_now() { return static_cast<std::uint64_t>(std::time(nullptr)); }

// One gate: its own runtime directory, main socket and gossip port.
class Gate {
public:
    struct Options {
        std::string id;
        std::vector<std::string> peers;  // gossip addresses for QUILLFERN_PEERS
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
    };

    Gate(const TempDir& root, Options options)
        : id_(options.id), runtime_dir_(root.file(options.id)), gossip_port_(free_tcp_port()) {
        std::filesystem::create_directories(runtime_dir_);
        std::string peers;
        for (const auto& peer : options.peers) peers += (peers.empty() ? "" : ",") + peer;
        std::map<std::string, std::string> env{{"VELLUMAR_RUNTIME_DIR", runtime_dir_},
                                               {"NO_COLOR", "1"},
                                               {"GATE_ID", id_},
                                               {"TOKIO_WORKER_THREADS", "2"},
                                               {"GOSSIP_PORT", std::to_string(gossip_port_)}};
        if (!peers.empty()) env["QUILLFERN_PEERS"] = peers;
        for (auto& [k, v] : options.env) env[k] = v;
        std::vector<std::string> args = std::move(options.args);
        if (std::find(args.begin(), args.end(), "--spread-interval") == args.end()) {
            args.insert(args.end(), {"--spread-interval", "1"});
        }
        options_ = ServerProcess::Options{std::move(args), std::move(env)};
    }

    void start() {
        process_ = std::make_unique<ServerProcess>(options_);
        ASSERT_TRUE(process_->wait_for_output("Listening on ")) << process_->out() << process_->err();
        ASSERT_TRUE(process_->wait_for_output("Cross-gate gossip listener started")) << process_->out();
    }

    const std::string& id() const { return id_; }
    std::uint16_t gossip_port() const { return gossip_port_; }
    std::string gossip_address() const { return "127.0.0.1:" + std::to_string(gossip_port_); }
    std::string runtime_file(std::string_view name) const { return runtime_dir_ + "/" + std::string(name); }
    ServerProcess& process() { return *process_; }

    // One request on a fresh main-socket connection; the reply line parsed.
    json::Value call(const std::string& request) {
        Client c = Client::unix_socket(runtime_file("quillfern.sock"));
        c.send("PROTOCOLS: jsonrpc\n");
        EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
        c.send(request + "\n");
        auto line = c.read_line();
        if (!line) return nullptr;
        auto parsed = json::parse(*line);
        return parsed ? *parsed : json::Value(nullptr);
    }
    std::string inject(std::string_view topic, std::string_view key) {
        json::Value reply = call(R"({"id":1,"method":"gossip.inject","params":{"topic":")" + std::string(topic) +
                                 R"(","key":")" + std::string(key) + R"(","payload":{"from":")" + id_ + R"("}}})");
        return reply["result"].value("result", "");
    }
    json::Value query(std::string_view topic, std::string_view prefix) {
        json::Value reply = call(R"({"id":2,"method":"gossip.query","params":{"topic":")" + std::string(topic) +
                                 R"(","key_prefix":")" + std::string(prefix) + R"("}})");
        return reply["result"].value("entries", json::Value::array());
    }
    // The one entry stored under `key`, or none.
    std::optional<json::Value> entry(std::string_view topic, const std::string& key) {
        for (const auto& e : query(topic, key))
            if (e.value("key", "") == key) return e;
        return std::nullopt;
    }

private:
    std::string id_;
    std::string runtime_dir_;
    std::uint16_t gossip_port_;
    ServerProcess::Options options_;
    std::unique_ptr<ServerProcess> process_;
};

class MeshTest : public ::testing::Test {
protected:
    TempDir root;
};

TEST_F(MeshTest, EntryTravelsGateToGateWithOneHopLessEachTime) {
    Gate c(root, {"gate-c", {}, {}, {}});
    Gate b(root, {"gate-b", {c.gossip_address()}, {}, {}});
    Gate a(root, {"gate-a", {b.gossip_address()}, {}, {}});
    c.start();
    b.start();
    a.start();

    ASSERT_EQ(a.inject("data", "user.alice"), "Accepted");
    std::optional<json::Value> on_b, on_c;
    ASSERT_TRUE(eventually([&] { return (on_b = b.entry("data", "user.alice")).has_value(); })) << b.process().out();
    EXPECT_EQ((*on_b)["ttl"], 7);
    EXPECT_EQ((*on_b)["origin_gate"], "gate-a");
    ASSERT_TRUE(eventually([&] { return (on_c = c.entry("data", "user.alice")).has_value(); })) << c.process().out();
    EXPECT_EQ((*on_c)["ttl"], 6);
    EXPECT_EQ((*on_c)["nonce"], (*on_b)["nonce"]);
    EXPECT_EQ((*on_c)["payload"], (*on_b)["payload"]);

    // The heartbeats travel the same road: A's reaches C through B.
    std::optional<json::Value> heartbeat;
    ASSERT_TRUE(eventually([&] { return (heartbeat = c.entry("varne", "endpoint.alive:gate-a")).has_value(); }));
    EXPECT_EQ((*heartbeat)["payload"]["gate"], "gate-a");
    EXPECT_EQ((*heartbeat)["payload"]["gossip_port"], a.gossip_port());

    // What B received it counts under A's node id; what A delivered, under B's address.
    json::Value peers_of_b = b.call(R"({"id":3,"method":"gossip.peers"})")["result"]["peers"];
    EXPECT_GE(peers_of_b["gate-a"]["entries_received"].get<std::uint64_t>(), 2u) << peers_of_b;
    ASSERT_TRUE(eventually([&] {
        json::Value peers_of_a = a.call(R"({"id":4,"method":"gossip.peers"})")["result"]["peers"];
        return peers_of_a.contains(b.gossip_address()) &&
               peers_of_a[b.gossip_address()]["entries_sent"].get<std::uint64_t>() >= 2;
    }));
    EXPECT_THAT(a.process().out(),
                HasSubstr(" INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers"));
}

TEST_F(MeshTest, UnreachablePeerGetsTheBatchThroughTheRelay) {
    const std::uint16_t nobody = free_tcp_port();  // nothing listens here
    Gate a(
        root,
        {"gate-a", {"127.0.0.1:" + std::to_string(nobody)}, {}, {{"RUST_LOG", "info,quillfern_server::spread=debug"}}});
    auto reedhorn = FakeLineServer::on_unix_socket(a.runtime_file("reedhorn.sock"),
                                                   FakeLineServer::answer("{\"result\":{\"accepted\":1}}\n"));
    a.start();
    ASSERT_EQ(a.inject("data", "relayed.key"), "Accepted");

    // Every sweep asks reedHorn for peers; the relay request is the one naming a target.
    std::optional<json::Value> relay;
    ASSERT_TRUE(eventually([&] {
        for (const std::string& bytes : reedhorn->received()) {
            if (bytes.find("gossip.relay") == std::string::npos || bytes.find("relayed.key") == std::string::npos)
                continue;
            EXPECT_EQ(bytes.substr(0, 2), "\xEC\x01");
            EXPECT_EQ(bytes.back(), '\n');
            auto parsed = json::parse(std::string_view(bytes).substr(2));
            if (parsed) relay = *parsed;
            return true;
        }
        return false;
    })) << a.process().out();
    ASSERT_TRUE(relay.has_value());
    EXPECT_EQ((*relay)["method"], "gossip.relay");
    EXPECT_EQ((*relay)["id"], 1);
    EXPECT_EQ((*relay)["params"]["target_method"], "gossip.spread");
    EXPECT_EQ((*relay)["params"]["target_peer"], "127.0.0.1:" + std::to_string(nobody));
    const json::Value& spread = (*relay)["params"]["payload"];
    EXPECT_EQ(spread["method"], "gossip.spread");
    EXPECT_EQ(spread["params"]["from"], "gate-a");
    bool carried = false;
    for (const auto& e : spread["params"]["entries"]) {
        if (e["key"] == "relayed.key") carried = e["ttl"] == 7;
    }
    EXPECT_TRUE(carried) << spread;

    ASSERT_TRUE(
        a.process().wait_for_output("DEBUG quillfern_server::spread: Gossip spread delivered via reedHorn relay "
                                    "peer=127.0.0.1:" +
                                    std::to_string(nobody) + " accepted=1"));
    EXPECT_THAT(a.process().out(), HasSubstr("DEBUG quillfern_server::spread: TCP spread failed, trying reedHorn relay "
                                             "peer=127.0.0.1:" +
                                             std::to_string(nobody) + " error=TCP connect to 127.0.0.1:" +
                                             std::to_string(nobody) + ": Connection refused (os error 111)"));
    // The registration went to the same reedHorn, as a plain line.
    bool registered = false;
    for (const std::string& bytes : reedhorn->received())
        registered |= bytes.rfind("{\"id\":1,\"jsonrpc\":\"2.0\",\"method\":\"ipc.register\"", 0) == 0;
    EXPECT_TRUE(registered);
}

TEST_F(MeshTest, HeartbeatIsInjectedAtStartAndRenewedOnEveryEvictionTick) {
    // The command line's gossip port, not GOSSIP_PORT of the environment, is announced.
    const std::string cli_port = std::to_string(free_tcp_port());
    Gate a(root, {"gate-a", {}, {"--evict-interval", "1", "--gossip-port", cli_port}, {}});
    a.start();
    EXPECT_THAT(a.process().out(),
                HasSubstr(" INFO quillfern_server: Cross-gate gossip listener started port=" + cli_port));
    std::optional<json::Value> first = a.entry("varne", "endpoint.alive:gate-a");
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ((*first)["payload"],
              json::parse(R"({"capabilities":["gossip"],"gate":"gate-a","gossip_port":)" + cli_port + R"(,"pid":)" +
                          std::to_string(a.process().pid()) + R"(,"protocol":"json-rpc","version":"0.1.0"})")
                  .value());
    EXPECT_EQ((*first)["ttl"], 8);

    const std::uint64_t first_version = (*first)["version"].get<std::uint64_t>();
    std::optional<json::Value> renewed;
    ASSERT_TRUE(eventually([&] {
        renewed = a.entry("varne", "endpoint.alive:gate-a");
        return renewed && (*renewed)["version"].get<std::uint64_t>() >= first_version + 2;
    })) << a.process().out();
    EXPECT_NE((*renewed)["nonce"], (*first)["nonce"]);
    // One INFO per accepted renewal; a renewal within the same second is silent.
    EXPECT_GE(count_of(a.process().out(),
                       " INFO quillfern_server::announce: Injected endpoint.alive gossip entry gate=gate-a\n"),
              3u);
}

TEST_F(MeshTest, ExpiredEntriesLeaveOnTheEvictionTickAndAFullTopicTakesNewKeysAgain) {
    Gate a(root, {"gate-a", {}, {"--evict-interval", "1"}, {}});
    a.start();

    // A peer's batch fills topic "data" with entries that expire in two seconds.
    const std::uint64_t expires = unix_now() + 2;
    std::string entries;
    for (int i = 0; i < 1024; ++i) {
        entries += (i ? "," : "");
        entries += R"({"created_at_epoch":1,"expires_at_epoch":)" + std::to_string(expires) + R"(,"key":"k)" +
                   std::to_string(i) + R"(","nonce":"n)" + std::to_string(i) +
                   R"(","origin_gate":"gate-z","payload":1,"topic":"data","ttl":3,"version":1})";
    }
    Client peer = Client::adopt(connect_loopback(a.gossip_port()));
    peer.send("\xEC\x01");
    peer.send(R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)" + entries +
              R"(],"from":"gate-z"}})"
              "\n");
    ASSERT_EQ(peer.read_line(std::chrono::seconds(20)),
              R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1024,"rejected":0}})");
    // Unless the clock already moved past the expiry, the topic is full now.
    const std::string refused = a.inject("data", "fresh");
    if (unix_now() < expires) {
        EXPECT_EQ(refused, "AtCapacity");
    }

    ASSERT_TRUE(a.process().wait_for_output(
        " INFO quillfern_core::gossip: Evicted stale gossip entries topic=data evicted=1024 remaining=0\n",
        std::chrono::seconds(20)))
        << a.process().out();
    EXPECT_TRUE(a.process().wait_for_output(" INFO quillfern_server: Gossip eviction cycle evicted=1024\n"));
    EXPECT_EQ(a.inject("data", "fresh"), "Accepted");
    json::Value status = a.call(R"({"id":5,"method":"gossip.status"})")["result"];
    EXPECT_EQ(status["total_evicted"], 1024) << status;
    EXPECT_EQ(status["data_entries"], 1) << status;
}

TEST_F(MeshTest, SilentQuorvelApiDelaysButDoesNotStopTheRegistration) {
    Gate a(root, {"gate-a", {}, {"--family-id", "prod"}, {}});
    auto quorvel = FakeLineServer::on_unix_socket(a.runtime_file("quorvel-api-prod.sock"), FakeLineServer::silent());
    auto reedhorn = FakeLineServer::on_unix_socket(a.runtime_file("reedhorn.sock"), FakeLineServer::answer("{}\n"));
    a.start();
    ASSERT_TRUE(a.process().wait_for_output(" INFO quillfern_server::announce: Registered with Reedhorn: {}\\n\n",
                                            std::chrono::seconds(20)))
        << a.process().out();
    EXPECT_THAT(a.process().out(), HasSubstr(" WARN quillfern_server::announce: No response to wendle.announce\n"));

    const std::string main_socket = a.runtime_file("quillfern-prod.sock");
    ASSERT_EQ(quorvel->received().size(), 1u);
    EXPECT_EQ(quorvel->received()[0],
              R"({"id":1,"jsonrpc":"2.0","method":"wendle.announce","params":{"capabilities":["gossip"],)"
              R"("cost_hints":{"gossip":1},"gossip_port":)" +
                  std::to_string(a.gossip_port()) +
                  R"(,"latency_estimates":{"gossip":5},"methods":["health.liveness","health.readiness",)"
                  R"("health.check","capabilities.list","btsp.negotiate","wendle.announce","gossip.spread",)"
                  R"("gossip.inject","gossip.query","gossip.status","gossip.peers","gossip.subscribe"],"pid":)" +
                  std::to_string(a.process().pid()) +
                  R"(,"protocol":"json-rpc","signal_tiers":["varne","node","meta"],"socket":")" + main_socket +
                  R"(","tarpc_socket":")" + a.runtime_file("quillfern-prod.tarpc.sock") +
                  R"(","version":"0.1.0","wendle":"quillfern"}})"
                  "\n");
    // Sweeps ask the same reedHorn for peers; the registration is the one plain line.
    bool registered = false;
    for (const std::string& bytes : reedhorn->received()) {
        registered |= bytes == R"({"id":1,"jsonrpc":"2.0","method":"ipc.register","params":{"capabilities":["gossip"],)"
                               R"("endpoint":{"path":")" +
                                   main_socket +
                                   R"(","transport":"uds"},"version":"0.1.0","wendle":"quillfern"}})"
                                   "\n";
    }
    EXPECT_TRUE(registered);
}

}  // namespace
}  // namespace quillfern::testing
