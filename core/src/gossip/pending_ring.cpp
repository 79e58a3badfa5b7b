// The queued forward copies: a ring of twice the pending bound, made at the first copy, packed
// in place when the places of dropped copies fill it, and kept from one sweep to the next.
#include <algorithm>

#include "pending_ring.hpp"

namespace quillfern::gossip::detail {

PendingRing::Slot& PendingRing::at(std::uint64_t number) noexcept {
    std::size_t place = head_ + static_cast<std::size_t>(number - front_);
    if (place >= ring_.size()) place -= ring_.size();
    return ring_[place];
}

void PendingRing::compact() noexcept {
    // Each copy moves towards the head, never past a place still to be read.
    std::size_t kept = 0;
    for (std::size_t i = 0; i < used_; ++i) {
        Slot& slot = ring_[(head_ + i) % ring_.size()];
        if (slot.sender == kEmpty) continue;
        if (kept != i) {
            ring_[(head_ + kept) % ring_.size()] = std::move(slot);
            slot.sender = kEmpty;
        }
        ++kept;
    }
    used_ = kept;
    std::fill(oldest_from_.begin(), oldest_from_.end(), front_);
}

void PendingRing::push_back(PendingCopy copy, std::uint32_t sender) {
    if (ring_.empty()) {
        ring_.resize(2 * kPendingCapacity);
    } else if (used_ == ring_.size()) {
        // With at most the bound queued, the ring is at least half empty.
        compact();
    }
    at(front_ + used_) = Slot{std::move(copy), sender};
    ++used_;
    ++live_;
}

PendingCopy PendingRing::drop_oldest(std::uint32_t sender) {
    if (oldest_from_.size() <= sender) oldest_from_.resize(sender + 1, front_);
    std::uint64_t number = std::max(oldest_from_[sender], front_);
    const std::uint64_t end = front_ + used_;
    while (number < end && at(number).sender != sender) ++number;
    if (number == end) return {};  // none of its copies is queued
    Slot& slot = at(number);
    PendingCopy dropped = std::move(slot.copy);
    slot.sender = kEmpty;
    oldest_from_[sender] = number + 1;
    --live_;
    // Empty places at the front are given back at once.
    while (used_ > 0 && ring_[head_].sender == kEmpty) {
        if (++head_ == ring_.size()) head_ = 0;
        --used_;
        ++front_;
    }
    return dropped;
}

std::vector<PendingCopy> PendingRing::take_all() {
    std::vector<PendingCopy> taken;
    taken.reserve(live_);
    for (std::size_t i = 0; i < used_; ++i) {
        Slot& slot = ring_[(head_ + i) % ring_.size()];
        if (slot.sender != kEmpty) taken.push_back(std::move(slot.copy));
        slot.sender = kEmpty;
    }
    front_ += used_;
    head_ = 0;
    used_ = 0;
    live_ = 0;
    std::fill(oldest_from_.begin(), oldest_from_.end(), front_);
    return taken;
}

}  // namespace quillfern::gossip::detail
