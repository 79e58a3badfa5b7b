// Shared pieces of the spread tests: a clean environment (no peers, no reedHorn, a runtime
// directory of the test's own), the module's log events, a store on a clock that stands still, and
// entries with known bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include "env_guard.hpp"
#include "fake_clock.hpp"
#include "fake_line_server.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/log.hpp"
#include "quillfern/mesh.hpp"
#include "run_task.hpp"
#include "started_store.hpp"
#include "temp_dir.hpp"

namespace quillfern::mesh::testing {

using ::quillfern::testing::EnvGuard;
using ::quillfern::testing::FakeLineServer;
using ::quillfern::testing::TempDir;

using ::quillfern::testing::FakeClock;
using ::quillfern::testing::kNow;
using ::quillfern::testing::make_started_store;

// An entry as a peer "gate-b" would send it; its forward copy has one hop less.
inline gossip::GossipEntry entry(std::string key, std::uint8_t ttl = 5) {
    gossip::GossipEntry e;
    e.topic = gossip::Topic::Data;
    e.key = gossip::share_text(std::move(key));
    e.payload = gossip::share_payload(json::Value{{"n", 1}});
    e.origin_gate = gossip::share_text("gate-b");
    e.nonce = "nonce-" + gossip::text_of(e.key);
    e.ttl = ttl;
    e.version = 7;
    e.created_at_epoch = kNow - 10;
    e.expires_at_epoch = kNow + 590;
    return e;
}

// The JSON text of `entry(key, ttl)`.
inline std::string entry_text(const std::string& key, int ttl = 5) {
    return R"({"created_at_epoch":1699999990,"expires_at_epoch":1700000590,"key":")" + key + R"(","nonce":"nonce-)" +
           key + R"(","origin_gate":"gate-b","payload":{"n":1},"topic":"data","ttl":)" + std::to_string(ttl) +
           R"(,"version":7})";
}

class SpreadTest : public ::testing::Test {
protected:
    template <class T>
    T run(asio::awaitable<T> task) {
        return ::quillfern::testing::run_task(ctx_, std::move(task));
    }
    void run(asio::awaitable<void> task) { ::quillfern::testing::run_task(ctx_, std::move(task)); }
    // Runs whatever the last task left behind (detached deliveries) to its end.
    void drain() {
        ctx_.restart();
        ctx_.run();
    }

    std::vector<std::string> events() const { return capture_.events(); }

    // A reedHorn at the path REEDHORN_SOCKET names.
    std::unique_ptr<FakeLineServer> start_reedhorn(FakeLineServer::Behaviour behaviour) {
        reedhorn_env_.set(reedhorn_path_);
        return FakeLineServer::on_unix_socket(reedhorn_path_, std::move(behaviour));
    }

    TempDir dir_;
    std::string reedhorn_path_ = dir_.file("rh.sock");
    EnvGuard runtime_env_{"VELLUMAR_RUNTIME_DIR", dir_.path()};
    EnvGuard peers_env_{"QUILLFERN_PEERS", std::nullopt};
    EnvGuard reedhorn_env_{"REEDHORN_SOCKET", std::nullopt};
    EnvGuard port_env_{"GOSSIP_PORT", std::nullopt};
    log::testing::Capture capture_{"quillfern_server::spread=debug"};
    asio::io_context ctx_;
};

}  // namespace quillfern::mesh::testing
