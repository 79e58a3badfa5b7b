// The queued forward copies: a ring that doubles up to the pending bound and keeps its
// memory from one sweep to the next.
#include <algorithm>

#include "pending_ring.hpp"

namespace quillfern::gossip::detail {

void PendingRing::push_back(PendingCopy copy) {
    if (size_ == ring_.size()) {
        std::vector<PendingCopy> larger(std::clamp<std::size_t>(2 * size_, 64, kPendingCapacity));
        for (std::size_t i = 0; i < size_; ++i) larger[i] = std::move(ring_[(head_ + i) % ring_.size()]);
        ring_.swap(larger);
        head_ = 0;
    }
    std::size_t place = head_ + size_;
    if (place >= ring_.size()) place -= ring_.size();
    ring_[place] = std::move(copy);
    ++size_;
}

PendingCopy PendingRing::pop_front() noexcept {
    PendingCopy oldest = std::move(ring_[head_]);
    if (++head_ == ring_.size()) head_ = 0;
    --size_;
    return oldest;
}

std::vector<PendingCopy> PendingRing::take_all() {
    std::vector<PendingCopy> taken;
    taken.reserve(size_);
    for (std::size_t i = 0; i < size_; ++i) taken.push_back(std::move(ring_[(head_ + i) % ring_.size()]));
    head_ = 0;
    size_ = 0;
    return taken;
}

}  // namespace quillfern::gossip::detail
