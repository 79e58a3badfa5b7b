// The queued forward copies in arrival order.
#pragma once

#include <cstddef>
#include <vector>

#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip::detail {

// The queued forward copies, oldest first, in a ring that grows to its bound and keeps
// its memory when it is emptied.
class PendingRing {
public:
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Room must be left (size() < kPendingCapacity); grows the ring when it is full.
    void push_back(PendingCopy copy);
    PendingCopy pop_front() noexcept;
    // Every copy, oldest first; the ring is left empty with its memory.
    std::vector<PendingCopy> take_all();

private:
    std::vector<PendingCopy> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

}  // namespace quillfern::gossip::detail
