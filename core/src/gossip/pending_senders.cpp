// The holdings of the queued forward copies, sender by sender.
#include <utility>

#include "pending_senders.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip::detail {

namespace {
constexpr std::string_view kOthers = "others";  // the shared holding past the table's capacity
}  // namespace

PendingSenders::PendingSenders(std::string local_id) { holdings_.push_back({std::move(local_id)}); }

std::uint32_t PendingSenders::place_of(std::string_view peer) {
    peer = peer.substr(0, kMaxPeerIdBytes);
    if (auto found = places_.find(peer); found != places_.end()) return found->second;
    if (holdings_.size() > kCapacity) peer = kOthers;  // the last place is the shared one
    if (auto found = places_.find(peer); found != places_.end()) return found->second;
    const auto place = static_cast<std::uint32_t>(holdings_.size());
    holdings_.push_back({std::string(peer)});
    places_.emplace(std::string(peer), place);
    return place;
}

std::optional<std::uint32_t> PendingSenders::heaviest(bool local_too) const noexcept {
    std::optional<std::uint32_t> most;
    for (std::size_t place = local_too ? 0 : 1; place < holdings_.size(); ++place) {
        const Holding& holding = holdings_[place];
        if (holding.copies > 0 && (!most || holding.bytes > holdings_[*most].bytes)) {
            most = static_cast<std::uint32_t>(place);
        }
    }
    return most;
}

std::string PendingSenders::take_most_dropped() {
    std::size_t most = 0;
    for (std::size_t place = 0; place < holdings_.size(); ++place) {
        if (holdings_[place].dropped > holdings_[most].dropped) most = place;
    }
    std::string id = holdings_[most].id;
    for (Holding& holding : holdings_) holding.dropped = 0;
    return id;
}

void PendingSenders::queue_taken() {
    for (Holding& holding : holdings_) holding.bytes = holding.copies = 0;
    if (holdings_.size() <= kCapacity) return;
    // The queue is empty: no copy names a place, so the table can be built again. Built
    // aside and swapped in, so that running out of memory leaves the old one whole.
    std::vector<Holding> kept{holdings_[kLocal]};
    TextMap<std::uint32_t> places;
    for (std::size_t place = 1; place < holdings_.size(); ++place) {
        if (holdings_[place].dropped == 0) continue;
        places.emplace(holdings_[place].id, static_cast<std::uint32_t>(kept.size()));
        kept.push_back(holdings_[place]);
    }
    holdings_.swap(kept);
    places_.swap(places);
}

}  // namespace quillfern::gossip::detail
