// The nonce history: linear probing over a power-of-two slot table, removal by shifting
// the following slots of the run back (no tombstones, so look-ups stay short).
#include <algorithm>
#include <bit>

#include "quillfern/gossip.hpp"

namespace quillfern::gossip::detail {

NonceHistory::NonceHistory(std::size_t capacity)
    // At most half full (one more while the oldest is forgotten), so every run ends.
    : capacity_(capacity), mask_(std::bit_ceil(std::max<std::size_t>(2 * capacity, 4)) - 1), slots_(mask_ + 1) {}

bool NonceHistory::contains(std::string_view nonce, std::uint64_t hash) const noexcept {
    for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
        const Slot& slot = slots_[i];
        if (slot.held == nullptr) return false;
        if (slot.hash == hash && slot.held->text == nonce) return true;
    }
}

void NonceHistory::add(std::string nonce, std::uint64_t hash) {
    const Held& back = order_.emplace_back(Held{std::move(nonce), hash});
    std::size_t i = home(hash);
    while (slots_[i].held != nullptr) i = (i + 1) & mask_;
    slots_[i] = Slot{hash, &back};
    if (order_.size() > capacity_) forget_oldest();
}

void NonceHistory::forget_oldest() noexcept {
    const Held* oldest = &order_.front();
    std::size_t hole = home(oldest->hash);
    while (slots_[hole].held != oldest) hole = (hole + 1) & mask_;
    // Each later slot of the run moves into the hole unless its home lies cyclically in
    // (hole, slot]: then it is still reachable from its home without the hole's slot.
    for (std::size_t i = (hole + 1) & mask_; slots_[i].held != nullptr; i = (i + 1) & mask_) {
        const std::size_t want = home(slots_[i].hash);
        const bool reachable = hole <= i ? (hole < want && want <= i) : (hole < want || want <= i);
        if (reachable) continue;
        slots_[hole] = slots_[i];
        hole = i;
    }
    slots_[hole] = Slot{};
    order_.pop_front();
}

}  // namespace quillfern::gossip::detail
