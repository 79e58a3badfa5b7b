// The store's queued forward copies as entries, to compare with the entries a test made.
#pragma once

#include <vector>

#include "quillfern/gossip_store.hpp"

namespace quillfern::testing {

// The queued forward copies, oldest first, each as the entry it forwards; the queue is left
// empty.
inline std::vector<gossip::GossipEntry> take_pending(gossip::GossipStore& store) {
    const std::vector<gossip::PendingCopy> copies = store.take_pending_copies();
    std::vector<gossip::GossipEntry> entries;
    entries.reserve(copies.size());
    for (const gossip::PendingCopy& copy : copies) entries.push_back(copy.entry());
    return entries;
}

}  // namespace quillfern::testing
