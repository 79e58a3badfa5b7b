// The store's state and the work behind each of GossipStore's operations; GossipStore
// holds it in place and hands every call to it.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "entry_block.hpp"
#include "nonce_history.hpp"
#include "pending_ring.hpp"
#include "pending_senders.hpp"
#include "quillfern/gossip_store.hpp"
#include "slice_list.hpp"
#include "text_map.hpp"
#include "topic_table.hpp"
#include "update_sender.hpp"

namespace quillfern::gossip::detail {

class StoreCore {
public:
    StoreCore(std::string node_id, std::shared_ptr<const StoreClock> clock, StoreLimits limits);
    StoreCore(const StoreCore&) = delete;
    StoreCore& operator=(const StoreCore&) = delete;

    // Built -> running; any later call fails with "cannot start from current state".
    Expected<void, core::CoreError> start();
    StoreState state() const noexcept { return state_.load(std::memory_order_acquire); }
    bool running() const noexcept { return state() == StoreState::Running; }
    const std::string& node_id() const noexcept { return *node_id_; }

    // Applies the store's rules to one entry; `from` names the sending peer, none for
    // an entry created on this gate.
    IngestOutcome ingest(GossipEntry entry, std::optional<std::string_view> from);
    // The same for each entry of a peer's batch, in order, with one pass through each
    // lock for every 256 entries; gives each entry's outcome, in order. The entries are
    // taken (left moved from). Throws only std::bad_alloc.
    std::vector<IngestOutcome> ingest_batch(std::span<GossipEntry> entries, std::string_view from);
    // The same for entries read in place: a duplicate by nonce or by version is found
    // before anything is built for it, and only an entry that may be kept gets its block.
    // Outcomes, their order and every count are ingest_batch's for the same entries.
    std::vector<IngestOutcome> ingest_views(std::span<const EntryView> entries, std::string_view from);
    // Creates an entry on this gate (8 hops, 600 s of life), queues its forward copy
    // whatever the outcome, and ingests it.
    IngestOutcome inject(Topic topic, std::string key, const json::Value& payload);
    // The same with the payload already in canonical form (nothing to write again).
    IngestOutcome inject_payload(Topic topic, std::string key, std::string_view payload);
    // Adds one to the peer's entries_rejected.
    void record_rejected(std::string_view peer);
    // Live receivers of the update channel: 0, nothing subscribes.
    std::size_t subscriber_count() const noexcept { return updates_.receiver_count(); }

    // Copies of the live entries of a topic whose key begins with the prefix, in the
    // map's (unspecified) order.
    std::vector<GossipEntry> query(Topic topic, std::optional<std::string_view> key_prefix) const;
    StoreStats stats() const;
    PeerMap peer_stats() const;
    // Adds count to the peer's entries_sent and stamps its last exchange.
    void record_sent(std::string_view peer, std::uint64_t count);
    std::vector<PendingCopy> take_pending_copies();
    std::uint64_t take_oversized_copies();
    // Removes the expired entries of every topic; gives how many were removed.
    std::size_t evict_expired();

private:
    struct Shelf {  // one topic's entries
        mutable std::shared_mutex mutex;
        TopicTable table;
        std::size_t bytes = 0;  // byte_size of its entries
        // Raised under the lock before an entry is removed: while it stays, every key held
        // stays held at its version or a newer one. Read without the lock.
        std::atomic<std::uint64_t> removals{0};
    };
    struct Work;                                                   // one entry on its way through a slice
    static constexpr std::size_t kSliceEntries = 256;              // entries taken through the locks together
    using Released = SliceList<TopicTable::Block, kSliceEntries>;  // entries replaced in a slice

    std::uint64_t now() const { return clock_->now(); }
    // Up to 256 entries of one sender (none: this gate) taken in with the clock read once,
    // in the steps below.
    void ingest_slice(std::span<Work> slice, std::optional<std::string_view> from, std::uint64_t now_seconds);
    // Before any lock: expiry, the key, hashes, the blocks of entries handed over whole;
    // gives how many were refused.
    static std::uint64_t screen(std::span<Work> slice, bool from_peer, std::uint64_t now_seconds);
    // Entries read in place: whether the history holds the nonce, else whether the key is
    // held at this version or a newer one, each under its lock taken shared or briefly.
    void look_up_early(std::span<Work> slice) const;
    // Under the nonce lock: whether what the early look-up found still makes the entry a
    // duplicate, by the counts it was found under.
    bool early_answer_stands(const Work& work) const noexcept;
    // The block of an entry read in place, with one copy of each text; `origin` is shared
    // by consecutive entries of one origin.
    static void build_block(Work& work, SharedText& origin);
    // Under the nonce lock: every outcome in order, the accepted entries stored; gives how
    // many were accepted. `failure` is set when a block could not be built.
    std::size_t settle_slice(std::span<Work> slice, Released& released, std::uint64_t& rejected, SharedText& origin,
                             std::exception_ptr& failure);
    // The outcome of one entry, stored when Accepted; none when the early look-up refused
    // it and that no longer holds (the entry then needs its block).
    std::optional<IngestOutcome> settle(Work& work, std::unique_lock<std::shared_mutex>& shelf_lock,
                                        std::size_t& locked_shelf, Released& released);
    // After the locks: forward copies, the peer's counts, totals and notices.
    void pass_on(std::span<Work> slice, std::optional<std::string_view> from, std::uint64_t now_seconds,
                 std::size_t accepted, std::uint64_t rejected);
    // Queues one sender's copies (oldest first; none: this gate's own). Beyond the bounds
    // the sender holding the most bytes gives its oldest copies up, this gate's own keeping
    // a quarter of each bound from peers; reports the drops at most once a second. Copies
    // dropped are released after the lock.
    void queue_forward_copies(std::span<PendingCopy> copies, std::optional<std::string_view> from,
                              std::uint64_t now_seconds);
    // Under shelf.mutex: whether the topic's bytes stay within budget when an entry of
    // `added` bytes replaces one of `removed` bytes.
    bool fits_topic_budget(const Shelf& shelf, std::size_t added, std::size_t removed) const noexcept;
    // Finds or creates the peer's record; null when the map is full and the peer new.
    // The caller holds peers_mutex_ exclusively.
    PeerStats* peer_record(std::string_view peer);

    SharedText node_id_;
    std::shared_ptr<const StoreClock> clock_;
    StoreLimits limits_;

    // Plain mutexes where (nearly) every use writes: cheaper than reader-writer locks.
    mutable std::mutex nonce_mutex_;
    NonceHistory nonces_{kNonceHistoryCapacity};

    std::array<Shelf, kTopics.size()> shelves_;

    mutable std::shared_mutex peers_mutex_;
    TextMap<PeerStats> peers_;

    std::mutex pending_mutex_;
    PendingRing pending_;
    PendingSenders senders_;                         // who holds the queued copies
    std::size_t pending_bytes_ = 0;                  // the json_size of the queued copies
    std::size_t request_room_ = 0;                   // the largest json_size a spread request carries
    std::uint64_t oversized_unsent_ = 0;             // copies no request could carry, not yet taken
    std::uint64_t drops_unreported_ = 0;             // copies dropped since the last report
    std::optional<std::uint64_t> last_drop_report_;  // the second of the last report made on a drop

    std::atomic<std::uint64_t> total_ingested_{0};
    std::atomic<std::uint64_t> total_evicted_{0};
    UpdateSender updates_;
    std::atomic<StoreState> state_{StoreState::Built};
};

}  // namespace quillfern::gossip::detail
