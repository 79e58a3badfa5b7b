#include "quillfern/announce.hpp"

// The spread loop is not built into this program yet: start-up already spawns it at
// its place in the order, and until it lands it returns at once.

namespace quillfern::mesh {

asio::awaitable<void> spread_loop(std::shared_ptr<gossip::GossipStore>, std::uint64_t) { co_return; }

}  // namespace quillfern::mesh
