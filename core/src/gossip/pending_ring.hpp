// The queued forward copies in arrival order, each with the sender it came from.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip::detail {

// The queued forward copies, oldest first, in a ring of twice their bound, made whole at the
// first copy (it never moves them to grow) and kept when it is emptied. A copy dropped from
// the middle leaves its place empty until the ring is packed or taken.
class PendingRing {
public:
    std::size_t size() const noexcept { return live_; }  // copies queued
    bool empty() const noexcept { return live_ == 0; }
    // Room must be left (size() < kPendingCapacity); packs the ring when its places are used up.
    void push_back(PendingCopy copy, std::uint32_t sender);
    // Takes out the sender's oldest queued copy (an empty one if it has none).
    PendingCopy drop_oldest(std::uint32_t sender);
    // Every copy, oldest first; the ring is left empty with its memory.
    std::vector<PendingCopy> take_all();

private:
    static constexpr std::uint32_t kEmpty = UINT32_MAX;  // the sender of a place left empty
    struct Slot {
        PendingCopy copy;
        std::uint32_t sender = kEmpty;
    };
    Slot& at(std::uint64_t number) noexcept;
    // Closes the empty places between the queued copies, in the ring as it is.
    void compact() noexcept;

    std::vector<Slot> ring_;
    std::size_t head_ = 0;
    std::size_t used_ = 0;     // places from head_ on, empty ones among them
    std::size_t live_ = 0;     // copies queued
    std::uint64_t front_ = 0;  // the number of the place at head_; numbers only grow
    // For each sender, a number before which none of its copies lies.
    std::vector<std::uint64_t> oldest_from_;
};

}  // namespace quillfern::gossip::detail
