// The sending side of the store's update channel.
#pragma once

#include <atomic>
#include <cstddef>

#include "quillfern/gossip_entry.hpp"

namespace quillfern::gossip::detail {

// The sending side of the update channel (256 slots). Nothing in the system subscribes,
// so it keeps no queue: a notice sent without a receiver is dropped.
class UpdateSender {
public:
    std::size_t receiver_count() const noexcept { return receivers_.load(std::memory_order_relaxed); }
    // False when there was no receiver to take the notice.
    bool send(const GossipUpdate& update) const noexcept;

private:
    std::atomic<std::size_t> receivers_{0};
};

}  // namespace quillfern::gossip::detail
