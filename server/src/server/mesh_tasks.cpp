#include "quillfern/announce.hpp"

// The mesh gossip module (heartbeat, eviction, spread, cross-gate listener and the
// registration with the sibling services) is not built into this program yet. Start-up
// already calls each of these at its place in the order; until the module lands they
// return at once and the gate works on its own, without peers.

namespace quillfern::announce {

asio::awaitable<void> inject_endpoint_alive(gossip::GossipStore&, std::uint16_t) { co_return; }

asio::awaitable<void> register_with_reedhorn(std::string, std::string, std::string, std::string, json::Value) {
    co_return;
}

}  // namespace quillfern::announce

namespace quillfern::mesh {

asio::awaitable<void> eviction_loop(std::shared_ptr<gossip::GossipStore>, std::uint64_t, std::uint16_t) { co_return; }

asio::awaitable<void> cross_gate_listener(std::shared_ptr<gossip::GossipStore>, std::uint16_t) { co_return; }

}  // namespace quillfern::mesh
