// The eviction loop: on every eviction interval, expired entries leave the store and the
// heartbeat entry is renewed.
#include <asio/this_coro.hpp>

#include "quillfern/fixed_schedule.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::mesh {

void eviction_tick(gossip::GossipStore& store, std::uint16_t gossip_port) {
    const std::size_t evicted = store.evict_expired();
    if (evicted > 0)
        QF_LOG(log::Level::Info, log::targets::kServerRoot, "Gossip eviction cycle", log::number("evicted", evicted));
    inject_endpoint_alive(store, gossip_port);
}

asio::awaitable<void> eviction_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs,
                                    std::uint16_t gossip_port) {
    FixedSchedule schedule(co_await asio::this_coro::executor, FixedSchedule::seconds(interval_secs));
    for (;;) {
        co_await schedule.next_tick();
        eviction_tick(*store, gossip_port);
    }
}

}  // namespace quillfern::mesh
