// The real binary as a gate beside hostile peers: started on a gossip port of its own
// with a spread interval of one second, reached through its local socket and, as a peer
// reaches it, on its cross-gate port; and the "gossip.spread" request lines peers send.
#pragma once

#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "fake_line_server.hpp"
#include "free_tcp_port.hpp"
#include "test_process.hpp"

namespace quillfern::testing {

inline const std::string ACCEPTED = R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"
                                    "\n";

inline std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

inline std::uint64_t epoch_now() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
}

// One entry as a gate writes it in a "gossip.spread" request, alive for 600 s from `now`.
struct EntryText {
    std::string key;
    std::string nonce;
    std::uint64_t version = 1;
    std::string_view topic = "data";
    std::string_view payload = R"({"v":1})";
    std::string_view origin = "gate-z";

    void append_to(std::string& out, std::uint64_t now) const {
        out += R"({"created_at_epoch":)" + std::to_string(now) + R"(,"expires_at_epoch":)" + std::to_string(now + 600) +
               R"(,"key":")" + key + R"(","nonce":")" + nonce + R"(","origin_gate":")";
        out += origin;
        out += R"(","payload":)";
        out += payload;
        out += R"(,"topic":")";
        out += topic;
        out += R"(","ttl":3,"version":)" + std::to_string(version) + "}";
    }
};

// A "gossip.spread" request line around `entries` (entry texts joined by commas) from `from`.
inline std::string spread_request(std::string_view entries, std::string_view from, std::string_view id) {
    std::string line = R"({"id":)";
    line += id;
    line += R"(,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)";
    line += entries;
    line += R"(],"from":")";
    line += from;
    line += "\"}}\n";
    return line;
}

// A "gossip.spread" request line of `entries` entries keyed `prefix`0, `prefix`1, ...
inline std::string spread_line(const std::string& prefix, int entries, const std::string& id = "1",
                               std::string_view from = "gate-z") {
    const std::uint64_t now = epoch_now();
    std::string list;
    for (int i = 0; i < entries; ++i) {
        if (i > 0) list += ',';
        EntryText{.key = prefix + std::to_string(i), .nonce = prefix + "n" + std::to_string(i)}.append_to(list, now);
    }
    return spread_request(list, from, id);
}

// The reply to a batch whose entries were all accepted.
inline std::string all_accepted(std::string_view id, std::size_t entries) {
    return R"({"id":)" + std::string(id) + R"(,"jsonrpc":"2.0","result":{"accepted":)" + std::to_string(entries) +
           R"(,"rejected":0}})";
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
        const int fd = connect_loopback(gossip_port);
        if (fd < 0) throw std::runtime_error("connect to the gossip port failed");
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

    // Waits until the batches `peer` received hold every one of `keys`, looking at each
    // batch once it has been read in full (a gate delivers to a peer one request at a
    // time, so they end in the order they came); gives the keys still missing when
    // `timeout` has passed without a new batch.
    static std::set<std::string> wait_for_keys(FakeLineServer& peer_server, std::set<std::string> keys,
                                               std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        for (std::size_t looked_at = 0; !keys.empty();) {
            const std::size_t accepted = peer_server.connections();
            if (!peer_server.wait_for_requests(accepted, timeout)) break;
            for (; looked_at < accepted; ++looked_at) {
                const std::string batch = peer_server.received_on(looked_at);
                std::erase_if(keys, [&](const std::string& key) {
                    return batch.find("\"key\":\"" + key + "\"") != std::string::npos;
                });
            }
            if (!keys.empty() && !peer_server.wait_for_connections(accepted + 1, timeout)) break;
        }
        return keys;
    }

    TempDir dir;
    std::uint16_t gossip_port = free_tcp_port();
};

}  // namespace quillfern::testing
