// The store's queued forward copies as entries, for the benchmarks that time the entry form.
#pragma once

#include <vector>

#include "quillfern/gossip_store.hpp"

namespace quillfern::bench {

// The queued forward copies, oldest first, each as the entry it forwards.
inline std::vector<gossip::GossipEntry> take_pending_entries(gossip::GossipStore& store) {
    const std::vector<gossip::PendingCopy> copies = store.take_pending_copies();
    std::vector<gossip::GossipEntry> entries;
    entries.reserve(copies.size());
    for (const gossip::PendingCopy& copy : copies) entries.push_back(copy.entry());
    return entries;
}

}  // namespace quillfern::bench
