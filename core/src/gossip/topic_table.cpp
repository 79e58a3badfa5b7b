// The entries of one topic: a dense array of blocks under the slot table; the last entry
// fills a removed one's place.
#include "topic_table.hpp"
#include "slot_table.hpp"

namespace quillfern::gossip::detail {

TopicTable::TopicTable() { blocks_.reserve(kTopicCapacity); }

std::size_t TopicTable::find(std::string_view key, std::uint64_t hash) const noexcept {
    for (std::size_t i = hash & kMask;; i = (i + 1) & kMask) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) return npos;
        if (slots::may_hold(slot, hash) && blocks_[slots::place(slot)]->key() == key) return slots::place(slot);
    }
}

TopicTable::Block TopicTable::replace(std::size_t place, Block block) noexcept {
    blocks_[place].swap(block);
    return block;
}

void TopicTable::insert(Block block, std::uint64_t hash) noexcept {
    slots::insert(slots_.data(), kMask, hash, blocks_.size());
    blocks_.push_back(std::move(block));  // within the reserved capacity: no allocation
}

std::size_t TopicTable::slot_of(std::size_t place) const noexcept {
    return slots::find_place(slots_.data(), kMask, hash(blocks_[place]->key()), place);
}

TopicTable::Block TopicTable::erase(std::size_t place) noexcept {
    slots::erase(slots_.data(), kMask, slot_of(place));
    const std::size_t last = blocks_.size() - 1;
    Block erased = std::move(blocks_[place]);
    if (place != last) {
        const std::size_t moved = slot_of(last);
        slots_[moved] = (slots_[moved] & ~slots::kPlaceBits) | static_cast<std::uint32_t>(place + 1);
        blocks_[place] = std::move(blocks_[last]);
    }
    blocks_.pop_back();
    return erased;
}

}  // namespace quillfern::gossip::detail
