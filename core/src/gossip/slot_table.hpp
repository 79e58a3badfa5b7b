// The 4-byte slots of the store's open-addressing tables: the low 16 bits of an item's
// hash (its home in a table of at most 2^16 slots, and a tag) over the item's place + 1;
// 0 is a free slot. Linear probing; removal shifts the following slots of the run back,
// so there are no tombstones and look-ups stay short.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quillfern::gossip::detail::slots {

inline constexpr std::uint32_t kPlaceBits = 0xFFFFu;

constexpr std::uint32_t make(std::uint64_t hash, std::size_t place) noexcept {
    return static_cast<std::uint32_t>(hash & 0xFFFFu) << 16 | static_cast<std::uint32_t>(place + 1);
}
// Whether a slot may hold the item of this hash (the same low 16 bits).
constexpr bool may_hold(std::uint32_t slot, std::uint64_t hash) noexcept {
    return slot >> 16 == static_cast<std::uint32_t>(hash & 0xFFFFu);
}
constexpr std::size_t place(std::uint32_t slot) noexcept { return (slot & kPlaceBits) - 1; }
constexpr std::size_t home(std::uint32_t slot, std::size_t mask) noexcept { return (slot >> 16) & mask; }

// Puts the item at the end of its run.
inline void insert(std::uint32_t* table, std::size_t mask, std::uint64_t hash, std::size_t place) noexcept {
    std::size_t i = hash & mask;
    while (table[i] != 0) i = (i + 1) & mask;
    table[i] = make(hash, place);
}

// The slot of the item at `place`, whose hash is `hash`.
inline std::size_t find_place(const std::uint32_t* table, std::size_t mask, std::uint64_t hash,
                              std::size_t place) noexcept {
    std::size_t i = hash & mask;
    while ((table[i] & kPlaceBits) != place + 1) i = (i + 1) & mask;
    return i;
}

// Frees the slot `hole`: each later slot of the run moves into the hole unless its home
// lies cyclically in (hole, slot], where it is still reachable without the hole's slot.
inline void erase(std::uint32_t* table, std::size_t mask, std::size_t hole) noexcept {
    for (std::size_t i = (hole + 1) & mask; table[i] != 0; i = (i + 1) & mask) {
        const std::size_t want = home(table[i], mask);
        const bool reachable = hole <= i ? (hole < want && want <= i) : (hole < want || want <= i);
        if (reachable) continue;
        table[hole] = table[i];
        hole = i;
    }
    table[hole] = 0;
}

}  // namespace quillfern::gossip::detail::slots
