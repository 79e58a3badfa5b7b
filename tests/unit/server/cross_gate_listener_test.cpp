// The cross-gate listener on a real TCP port: every connection served at once by the
// first-byte handler, and the one ERROR line when the port can't be bound.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "free_tcp_port.hpp"
#include "loopback_listener.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/runtime.hpp"
#include "quillfern/server.hpp"

namespace quillfern::server {
namespace {

using quillfern::testing::connect_loopback;
using quillfern::testing::free_tcp_port;
using ::testing::Contains;
using ::testing::ElementsAre;

// A blocking client end with a time limit on every read.
class Peer {
public:
    explicit Peer(int fd) : fd_(fd) {}
    ~Peer() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void send(std::string_view bytes) {
        ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), static_cast<ssize_t>(bytes.size()));
    }
    // Bytes up to and including the first newline, or everything until the peer closes.
    std::string read_line(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::string got;
        char c;
        while (got.empty() || got.back() != '\n') {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) break;
            if (::recv(fd_, &c, 1, 0) != 1) break;
            got += c;
        }
        return got;
    }

private:
    int fd_;
};

bool wait_for_event(const log::testing::Capture& capture, const std::string& event) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        for (const std::string& e : capture.events())
            if (e == event) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

TEST(CrossGateListener, ServesEveryConnectionAtOnce) {
    log::testing::Capture capture("debug");
    const std::uint16_t port = free_tcp_port();
    auto store = std::make_shared<gossip::GossipStore>("gate-b");
    {
        runtime::Runtime rt(2);
        rt.spawn(cross_gate_listener_task(store, port, rt));
        ASSERT_TRUE(wait_for_event(
            capture, " INFO quillfern_server: Cross-gate gossip listener started port=" + std::to_string(port)));

        // A gate that opens a connection and says nothing holds no one else up.
        Peer idle(connect_loopback(port));
        ASSERT_TRUE(idle.connected());
        idle.send(server::kJsonrpcSignal);

        Peer probe(connect_loopback(port));
        probe.send(std::string_view("\xEC\x00", 2));
        EXPECT_EQ(probe.read_line(), server::kProbeReply);

        Peer spreading(connect_loopback(port));
        spreading.send(server::kJsonrpcSignal);
        spreading.send(
            R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[{"created_at_epoch":1,)"
            R"("expires_at_epoch":99999999999,"key":"k","nonce":"n1","origin_gate":"gate-a","payload":1,)"
            R"("topic":"data","ttl":7,"version":1}],"from":"gate-a"}})"
            "\n");
        EXPECT_EQ(spreading.read_line(), R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"
                                         "\n");

        idle.send(R"({"id":3,"method":"health.liveness"})"
                  "\n");
        EXPECT_EQ(idle.read_line(), R"({"id":3,"jsonrpc":"2.0","result":{"alive":true}})"
                                    "\n");
    }
    EXPECT_EQ(store->query(gossip::Topic::Data, "k").size(), 1u);
    EXPECT_EQ(store->peer_stats().at("gate-a").entries_received, 1u);

    std::size_t connection_events = 0;
    for (const std::string& e : capture.events()) {
        if (e.rfind("DEBUG quillfern_server: Cross-gate gossip connection peer=127.0.0.1:", 0) == 0)
            ++connection_events;
    }
    EXPECT_EQ(connection_events, 3u);
}

// The accept waiting on the listener's worker holds a socket made for the next worker.
// Tearing the runtime down must destroy that accept before either worker is gone, on
// whichever worker the listener runs (a fault here shows under AddressSanitizer).
TEST(CrossGateListener, RuntimeStopsWhileTheListenerWaits) {
    for (bool listener_on_second_worker : {false, true}) {
        log::testing::Capture capture("info");
        const std::uint16_t port = free_tcp_port();
        runtime::Runtime rt(2);
        if (listener_on_second_worker) rt.spawn([]() -> asio::awaitable<void> { co_return; }());
        rt.spawn(cross_gate_listener_task(std::make_shared<gossip::GossipStore>("gate-b"), port, rt));
        ASSERT_TRUE(wait_for_event(
            capture, " INFO quillfern_server: Cross-gate gossip listener started port=" + std::to_string(port)));
    }
}

TEST(CrossGateListener, PortInUseEndsTheTaskWithOneError) {
    // Someone else listens on the port.
    const quillfern::testing::LoopbackListener taken(1);
    const std::uint16_t port = taken.port();

    log::testing::Capture capture("info");
    {
        runtime::Runtime rt(1);
        rt.spawn(cross_gate_listener_task(std::make_shared<gossip::GossipStore>("gate-b"), port, rt));
        ASSERT_TRUE(wait_for_event(capture,
                                   "ERROR quillfern_server: Cross-gate gossip listener failed "
                                   "error=Address already in use (os error 98)"));
    }
    EXPECT_THAT(capture.events(), ElementsAre("ERROR quillfern_server: Cross-gate gossip listener failed "
                                              "error=Address already in use (os error 98)"));
}

}  // namespace
}  // namespace quillfern::server
