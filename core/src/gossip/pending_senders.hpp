// Who holds the queued forward copies: their bytes and count for each sender, this gate's
// own injects as a sender of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text_map.hpp"

namespace quillfern::gossip::detail {

class PendingSenders {
public:
    static constexpr std::uint32_t kLocal = 0;  // this gate's own injects
    // Senders told apart between two sweeps; the copies of any more share one holding.
    static constexpr std::size_t kCapacity = 1024;

    struct Holding {
        std::string id;
        std::size_t bytes = 0;  // json_size of its queued copies
        std::size_t copies = 0;
        std::uint64_t dropped = 0;  // its copies dropped since the last report
    };

    explicit PendingSenders(std::string local_id);

    // The sender's place; a peer's id past kMaxPeerIdBytes is cut there.
    std::uint32_t place_of(std::string_view peer);
    Holding& operator[](std::uint32_t place) noexcept { return holdings_[place]; }

    // The sender holding the most bytes, this gate's own among them only if `local_too`;
    // none when no such sender holds a copy.
    std::optional<std::uint32_t> heaviest(bool local_too) const noexcept;
    // The id of the sender whose copies were dropped most since the last report; every
    // sender's count starts again from 0.
    std::string take_most_dropped();
    // Once the queue is taken: nothing is held; senders with no drops left to report are
    // forgotten when the table is full.
    void queue_taken();

private:
    std::vector<Holding> holdings_;  // this gate's own first
    TextMap<std::uint32_t> places_;  // a peer's place in holdings_
};

}  // namespace quillfern::gossip::detail
