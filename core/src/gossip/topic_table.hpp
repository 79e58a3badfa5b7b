// The entries of one topic, found by key.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

#include "entry_block.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip::detail {

// The entries of one topic (at most kTopicCapacity): a dense array of blocks in no
// particular order, found by key through an open-addressing table of 4-byte slots, each
// the low 16 bits of the key's hash (its home and a tag) and the entry's place.
class TopicTable {
public:
    using Block = std::shared_ptr<const EntryBlock>;
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

    TopicTable();
    static std::uint64_t hash(std::string_view key) noexcept { return std::hash<std::string_view>{}(key); }

    // The place of the entry under `key`, or npos.
    std::size_t find(std::string_view key, std::uint64_t hash) const noexcept;
    const Block& at(std::size_t place) const noexcept { return blocks_[place]; }
    // Puts `block` (under the same key) in place of the entry at `place`; gives the entry
    // it replaced.
    Block replace(std::size_t place, Block block) noexcept;
    // Adds an entry whose key is not held yet; the table must have room.
    void insert(Block block, std::uint64_t hash) noexcept;
    // Removes the entry at `place` (the last entry takes its place); gives it.
    Block erase(std::size_t place) noexcept;

    std::size_t size() const noexcept { return blocks_.size(); }
    std::span<const Block> blocks() const noexcept { return blocks_; }

private:
    static constexpr std::size_t kSlots = 2 * kTopicCapacity;  // a power of two, at most 2^16
    static constexpr std::size_t kMask = kSlots - 1;
    std::size_t slot_of(std::size_t place) const noexcept;

    std::array<std::uint32_t, kSlots> slots_{};  // hash bits << 16 | (place + 1); 0 is free
    std::vector<Block> blocks_;                  // capacity reserved once
};

}  // namespace quillfern::gossip::detail
