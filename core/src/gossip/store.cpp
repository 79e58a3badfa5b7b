// GossipStore: lifecycle, ingest and inject, queries, peer accounting, pending
// forward copies and eviction.
#include <algorithm>
#include <limits>
#include <mutex>
#include <new>

#include "quillfern/gossip_store.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/text.hpp"
#include "store_core.hpp"

namespace quillfern::gossip {
namespace {

std::size_t topic_index(Topic topic) noexcept { return static_cast<std::size_t>(topic) % kTopics.size(); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

bool debug_enabled() noexcept {
    return static_cast<int>(log::Level::Debug) >= log::g_max_level.load(std::memory_order_relaxed);
}

// `from` names the sender whose copies were dropped most.
void report_dropped(std::uint64_t dropped, std::string_view from) {
    if (dropped == 0) return;
    QF_LOG(log::Level::Warn, log::targets::kGossip, "Pending forward copies dropped", log::number("dropped", dropped),
           log::text("from", from));
}

}  // namespace

// One entry on its way through a slice. What can be known without a lock (expiry, the
// key's validity, hashes, the block to store, the history's copy of a long nonce) is
// worked out before the nonce lock is taken. An entry read as views is looked up first
// and gets its block only when it may be kept.
struct detail::StoreCore::Work {
    GossipEntry* entry = nullptr;                       // as handed over; null for an inject or views
    const EntryView* view = nullptr;                    // an entry read in place
    std::shared_ptr<const detail::EntryBlock> block{};  // what is stored when it is accepted
    std::unique_ptr<char[]> nonce_text{};               // the history's copy of a long nonce
    std::string_view nonce{};
    std::string_view key{};
    std::uint64_t nonce_hash = 0;
    std::uint64_t key_hash = 0;
    std::uint64_t version = 0;
    std::size_t bytes = 0;  // the block's byte_size
    std::optional<IngestOutcome> outcome{};
    Topic topic = Topic::Varne;
    bool key_ok = false;
    // What the early look-up found: its nonce, or its key at this version or newer; with
    // the history's forgotten count or the shelf's removals then, under which that stands.
    enum class Seen : std::uint8_t { No, Nonce, Version } seen = Seen::No;
    std::uint64_t seen_mark = 0;
};

bool detail::UpdateSender::send(const GossipUpdate&) const noexcept {
    // Without a receiver the notice has nowhere to go and is dropped.
    return receiver_count() > 0;
}

detail::StoreCore::StoreCore(std::string node_id, std::shared_ptr<const StoreClock> clock, StoreLimits limits)
    : node_id_(share_text(std::move(node_id))),
      clock_(clock ? std::move(clock) : std::make_shared<const SystemClock>()),
      limits_(limits),
      // Conservative: the node id is counted as if each of its bytes were written as six,
      // so a copy of at most this size fits a request of its own whatever the id holds.
      senders_(*node_id_),
      request_room_(limits.request_bytes -
                    std::min(limits.request_bytes, kSpreadRequestFrameBytes + 6 * node_id_->size())) {}

Expected<void, core::CoreError> detail::StoreCore::start() {
    StoreState expected = StoreState::Built;
    if (!state_.compare_exchange_strong(expected, StoreState::Running, std::memory_order_acq_rel)) {
        return unexpected(core::CoreError::lifecycle("cannot start from current state"));
    }
    return {};
}

// ---- Ingest and inject ------------------------------------------------------------------

IngestOutcome detail::StoreCore::ingest(GossipEntry entry, std::optional<std::string_view> from) {
    Work work{.entry = &entry};
    ingest_slice(std::span(&work, 1), from, now());
    return *work.outcome;
}

std::vector<IngestOutcome> detail::StoreCore::ingest_batch(std::span<GossipEntry> entries, std::string_view from) {
    std::vector<IngestOutcome> outcomes;
    outcomes.reserve(entries.size());
    std::vector<Work> slice;
    for (std::size_t at = 0; at < entries.size(); at += kSliceEntries) {
        slice.clear();
        const std::size_t count = std::min(kSliceEntries, entries.size() - at);
        for (std::size_t i = 0; i < count; ++i) slice.push_back(Work{.entry = &entries[at + i]});
        ingest_slice(slice, from, now());
        for (const Work& work : slice) outcomes.push_back(*work.outcome);
    }
    return outcomes;
}

std::vector<IngestOutcome> detail::StoreCore::ingest_views(std::span<const EntryView> entries, std::string_view from) {
    std::vector<IngestOutcome> outcomes;
    outcomes.reserve(entries.size());
    std::vector<Work> slice;
    slice.reserve(std::min(kSliceEntries, entries.size()));
    for (std::size_t at = 0; at < entries.size(); at += kSliceEntries) {
        slice.clear();
        const std::size_t count = std::min(kSliceEntries, entries.size() - at);
        for (std::size_t i = 0; i < count; ++i) slice.push_back(Work{.view = &entries[at + i]});
        ingest_slice(slice, from, now());
        for (const Work& work : slice) outcomes.push_back(*work.outcome);
    }
    return outcomes;
}

void detail::StoreCore::ingest_slice(std::span<Work> slice, std::optional<std::string_view> from,
                                     std::uint64_t now_seconds) {
    std::uint64_t rejected = screen(slice, from.has_value(), now_seconds);
    look_up_early(slice);
    SharedText origin;  // shared by the entries of one origin
    for (Work& work : slice) {
        if (work.view && !work.outcome && work.key_ok && work.seen == Work::Seen::No) build_block(work, origin);
    }
    Released released;  // released after the locks
    std::exception_ptr failure;
    const std::size_t accepted = settle_slice(slice, released, rejected, origin, failure);
    // Entries settled before a block could not be built are counted all the same.
    pass_on(slice, from, now_seconds, accepted, rejected);
    if (failure) std::rethrow_exception(failure);
}

std::uint64_t detail::StoreCore::screen(std::span<Work> slice, bool from_peer, std::uint64_t now_seconds) {
    // The checks that need nothing of the store, in their order.
    std::uint64_t rejected = 0;
    for (Work& work : slice) {
        const detail::EntryBlock* block = work.block.get();
        std::uint64_t expires = 0;
        std::uint8_t ttl = 0;
        std::size_t origin_size = 0;
        if (block) {
            expires = block->expires_at_epoch();
            ttl = block->ttl();
            work.nonce = block->nonce();
            work.key = block->key();
            origin_size = text_of(block->origin()).size();
        } else if (work.view) {
            expires = work.view->expires_at_epoch;
            ttl = work.view->ttl;
            work.nonce = work.view->nonce;
            work.key = work.view->key;
            origin_size = work.view->origin_gate.size();
        } else {
            expires = work.entry->expires_at_epoch;
            ttl = work.entry->ttl;
            work.nonce = work.entry->nonce;
            work.key = text_of(work.entry->key);
            origin_size = text_of(work.entry->origin_gate).size();
        }
        if (now_seconds >= expires || (ttl == 0 && from_peer)) {
            work.outcome = IngestOutcome::Expired;
            ++rejected;
            continue;
        }
        // A peer's entry whose nonce or origin is oversized is refused like a bad key:
        // neither is kept in the history or the peer's copies at such a size.
        work.key_ok = is_acceptable_key(work.key) &&
                      (!from_peer || (work.nonce.size() <= kMaxPeerTextBytes && origin_size <= kMaxPeerTextBytes));
        work.nonce_hash = detail::NonceHistory::hash(work.nonce);
        if (!work.key_ok) continue;
        work.key_hash = detail::TopicTable::hash(work.key);
        if (work.view) {
            work.topic = work.view->topic;
            work.version = work.view->version;
            continue;  // its block waits for the early look-up
        }
        if (!block) {
            work.block = std::move(*work.entry).take_block();
            work.nonce = work.block->nonce();
            work.key = work.block->key();
        }
        work.topic = work.block->topic();
        work.version = work.block->version();
        work.bytes = work.block->byte_size();
        work.nonce_text = detail::NonceHistory::own_text(work.nonce);
    }
    return rejected;
}

void detail::StoreCore::look_up_early(std::span<Work> slice) const {
    auto pending = [](const Work& work) { return work.view && !work.outcome && work.key_ok; };
    bool any = false;
    {
        std::lock_guard nonce_lock(nonce_mutex_);
        const std::uint64_t forgotten = nonces_.forgotten();
        for (Work& work : slice) {
            if (!pending(work)) continue;
            if (nonces_.contains(work.nonce, work.nonce_hash)) {
                work.seen = Work::Seen::Nonce;
                work.seen_mark = forgotten;
            }
            any = any || work.seen == Work::Seen::No;
        }
    }
    if (!any) return;
    std::shared_lock<std::shared_mutex> shelf_lock;
    std::size_t locked_shelf = kTopics.size();
    std::uint64_t removals = 0;
    for (Work& work : slice) {
        if (!pending(work) || work.seen != Work::Seen::No) continue;
        const std::size_t topic = topic_index(work.topic);
        if (locked_shelf != topic) {
            if (shelf_lock.owns_lock()) shelf_lock.unlock();
            shelf_lock = std::shared_lock(shelves_[topic].mutex);
            locked_shelf = topic;
            removals = shelves_[topic].removals.load(std::memory_order_relaxed);
        }
        const detail::TopicTable& table = shelves_[topic].table;
        const std::size_t place = table.find(work.key, work.key_hash);
        if (place != detail::TopicTable::npos && table.at(place)->version() >= work.version) {
            work.seen = Work::Seen::Version;
            work.seen_mark = removals;
        }
    }
}

bool detail::StoreCore::early_answer_stands(const Work& work) const noexcept {
    // Held nonces leave the history only as it forgets; held keys leave their shelf only
    // as they are removed, and their versions only grow. Either way the entry is a duplicate
    // (its nonce checked first or not), so nothing needs to be looked up again.
    switch (work.seen) {
        case Work::Seen::Nonce: return nonces_.forgotten() == work.seen_mark;
        case Work::Seen::Version:
            return shelves_[topic_index(work.topic)].removals.load(std::memory_order_acquire) == work.seen_mark;
        case Work::Seen::No: break;
    }
    return false;
}

void detail::StoreCore::build_block(Work& work, SharedText& origin) {
    const EntryView& view = *work.view;
    if (!origin || *origin != view.origin_gate) origin = share_text(std::string(view.origin_gate));
    work.block = detail::EntryBlock::make({.topic = view.topic,
                                           .key = std::string(view.key),
                                           .origin = origin,
                                           .nonce = view.nonce,
                                           .payload = view.payload,
                                           .ttl = view.ttl,
                                           .version = view.version,
                                           .created_at_epoch = view.created_at_epoch,
                                           .expires_at_epoch = view.expires_at_epoch});
    work.key = work.block->key();
    work.nonce = work.block->nonce();
    work.bytes = work.block->byte_size();
    work.nonce_text = detail::NonceHistory::own_text(work.nonce);
    work.seen = Work::Seen::No;
}

std::size_t detail::StoreCore::settle_slice(std::span<Work> slice, Released& released, std::uint64_t& rejected,
                                            SharedText& origin, std::exception_ptr& failure) {
    // The entries' checks and the nonce record, in order, as one critical section with the
    // nonce check. Nothing is allocated inside it: an entry taken in is not left half
    // counted. An entry whose early answer went stale (its nonce forgotten, its key gone
    // or older since) leaves the section to have its block built, and the section goes
    // on from it.
    std::size_t accepted = 0;
    std::size_t next = 0;
    while (next < slice.size()) {
        {
            std::lock_guard nonce_lock(nonce_mutex_);
            std::unique_lock<std::shared_mutex> shelf_lock;
            std::size_t locked_shelf = kTopics.size();
            for (; next < slice.size(); ++next) {
                Work& work = slice[next];
                if (work.outcome) continue;
                if (!work.block && early_answer_stands(work)) {
                    work.outcome = IngestOutcome::Duplicate;
                    ++rejected;
                    continue;
                }
                if (nonces_.contains(work.nonce, work.nonce_hash)) {
                    work.outcome = IngestOutcome::Duplicate;
                    ++rejected;
                    continue;
                }
                if (!work.key_ok) {
                    work.outcome = IngestOutcome::Rejected;
                    ++rejected;
                    continue;
                }
                work.outcome = settle(work, shelf_lock, locked_shelf, released);
                if (!work.outcome) break;  // stale: built below
                if (*work.outcome == IngestOutcome::Accepted) {
                    ++accepted;
                    nonces_.add(work.nonce, work.nonce_hash, std::move(work.nonce_text));
                } else if (*work.outcome == IngestOutcome::Duplicate) {
                    ++rejected;
                }
            }
        }
        if (next == slice.size()) break;
        try {
            build_block(slice[next], origin);
        } catch (...) {
            failure = std::current_exception();
            break;
        }
    }
    return accepted;
}

std::optional<IngestOutcome> detail::StoreCore::settle(Work& work, std::unique_lock<std::shared_mutex>& shelf_lock,
                                                       std::size_t& locked_shelf, Released& released) {
    const std::size_t topic = topic_index(work.topic);
    Shelf& shelf = shelves_[topic];
    if (locked_shelf != topic) {
        // One topic's lock at a time, kept while the entries that follow share it.
        if (shelf_lock.owns_lock()) shelf_lock.unlock();
        shelf_lock = std::unique_lock(shelf.mutex);
        locked_shelf = topic;
    }
    detail::TopicTable& table = shelf.table;
    const std::size_t place = table.find(work.key, work.key_hash);
    if (!work.block) {
        // Refused by the early look-up: it stands while the key holds this version or a newer one.
        if (place != detail::TopicTable::npos && table.at(place)->version() >= work.version) {
            return IngestOutcome::Duplicate;
        }
        return std::nullopt;
    }
    if (place == detail::TopicTable::npos) {
        if (table.size() >= kTopicCapacity || !fits_topic_budget(shelf, work.bytes, 0)) {
            return IngestOutcome::AtCapacity;
        }
        table.insert(work.block, work.key_hash);
        shelf.bytes += work.bytes;
        return IngestOutcome::Accepted;
    }
    const detail::EntryBlock& held = *table.at(place);
    if (held.version() >= work.version) return IngestOutcome::Duplicate;
    const std::size_t held_bytes = held.byte_size();
    if (!fits_topic_budget(shelf, work.bytes, held_bytes)) return IngestOutcome::AtCapacity;
    shelf.bytes = shelf.bytes - held_bytes + work.bytes;
    released.push_back(table.replace(place, work.block));
    return IngestOutcome::Accepted;
}

void detail::StoreCore::pass_on(std::span<Work> slice, std::optional<std::string_view> from, std::uint64_t now_seconds,
                                std::size_t accepted, std::uint64_t rejected) {
    if (from && accepted > 0) {
        SliceList<PendingCopy, kSliceEntries> copies;
        for (const Work& work : slice) {
            // A peer's entry has a hop left here: one with none was refused as Expired.
            if (work.outcome == IngestOutcome::Accepted) copies.push_back(PendingCopy(work.block));
        }
        queue_forward_copies(copies.items(), from, now_seconds);
    }
    if (from && (accepted > 0 || rejected > 0)) {
        std::unique_lock lock(peers_mutex_);
        if (PeerStats* stats = peer_record(*from)) {
            stats->entries_received += accepted;
            stats->entries_rejected += rejected;
            if (accepted > 0) stats->last_exchange_epoch = now_seconds;
        }
    }
    if (accepted == 0) return;
    total_ingested_.fetch_add(accepted, std::memory_order_relaxed);

    const bool notify = updates_.receiver_count() > 0;
    if (!notify && !debug_enabled()) return;
    for (const Work& work : slice) {
        if (work.outcome != IngestOutcome::Accepted) continue;
        const detail::EntryBlock& block = *work.block;
        QF_LOG(log::Level::Debug, log::targets::kGossip, "Gossip entry ingested",
               log::text("topic", topic_name(block.topic())), log::text("key", block.key()),
               log::text("origin", text_of(block.origin())), log::number("ttl", block.ttl()));
        if (notify) {
            const SharedText key(work.block, &block.key());
            updates_.send(GossipUpdate{block.topic(), key, block.origin(), block.version()});
        }
    }
}

IngestOutcome detail::StoreCore::inject(Topic topic, std::string key, const json::Value& payload) {
    const SharedPayload shared = share_payload(payload);
    return inject_payload(topic, std::move(key), payload_text(shared));
}

IngestOutcome detail::StoreCore::inject_payload(Topic topic, std::string key, std::string_view payload) {
    // One reading serves the nonce, the entry's seconds and the expiry check.
    const StoreClock::Stamp stamp = clock_->stamp();
    const NonceDigits nonce = nonce_digits(stamp.nonce_time);
    Work work;
    work.block = detail::EntryBlock::make({.topic = topic,
                                           .key = std::move(key),
                                           .origin = node_id_,
                                           .nonce = nonce.text(),
                                           .payload = payload,
                                           .ttl = kLocalTtl,
                                           .version = stamp.seconds,
                                           .created_at_epoch = stamp.seconds,
                                           .expires_at_epoch = saturating_add(stamp.seconds, kLocalLifetimeSeconds)});

    // Queued before the ingest, whatever its outcome.
    PendingCopy copy(work.block);
    queue_forward_copies(std::span(&copy, 1), std::nullopt, stamp.seconds);
    ingest_slice(std::span(&work, 1), std::nullopt, stamp.seconds);
    return *work.outcome;
}

bool detail::StoreCore::fits_topic_budget(const Shelf& shelf, std::size_t added, std::size_t removed) const noexcept {
    const std::size_t kept = shelf.bytes - removed;
    return added <= limits_.topic_bytes && kept <= limits_.topic_bytes - added;
}

void detail::StoreCore::queue_forward_copies(std::span<PendingCopy> copies, std::optional<std::string_view> from,
                                             std::uint64_t now_seconds) {
    // Dropped copies are released after the lock; most calls drop at most a few.
    std::array<PendingCopy, 4> dropped_few;
    std::vector<PendingCopy> dropped_more;
    std::size_t dropped = 0;
    std::uint64_t report = 0;
    std::string report_from;
    {
        std::lock_guard lock(pending_mutex_);
        auto drop = [&](PendingCopy copy) {
            if (dropped < dropped_few.size()) {
                dropped_few[dropped] = std::move(copy);
            } else {
                dropped_more.push_back(std::move(copy));
            }
            ++dropped;
        };
        const std::uint32_t sender = from ? senders_.place_of(*from) : PendingSenders::kLocal;
        std::uint64_t dropped_here = 0;
        for (PendingCopy& copy : copies) {
            const std::size_t size = copy.json_size();
            if (size > request_room_) {
                // No spread request could carry it: counted for the sweep's report.
                ++oversized_unsent_;
                continue;
            }
            bool room = size <= limits_.pending_bytes;  // else dropped itself, the queue left as it is
            // Room is taken from the sender holding the most bytes, its oldest copies first;
            // a peer's copy takes none of this gate's own within their reserve.
            while (room && (pending_.size() >= kPendingCapacity || pending_bytes_ + size > limits_.pending_bytes)) {
                const PendingSenders::Holding& local = senders_[PendingSenders::kLocal];
                const bool local_too = sender == PendingSenders::kLocal || local.bytes > limits_.pending_bytes / 4 ||
                                       local.copies > kPendingCapacity / 4;
                const std::optional<std::uint32_t> heaviest = senders_.heaviest(local_too);
                if (!heaviest) {
                    room = false;
                    break;
                }
                PendingCopy oldest = pending_.drop_oldest(*heaviest);
                PendingSenders::Holding& holding = senders_[*heaviest];
                holding.bytes -= oldest.json_size();
                --holding.copies;
                ++holding.dropped;
                pending_bytes_ -= oldest.json_size();
                drop(std::move(oldest));
                ++dropped_here;
            }
            PendingSenders::Holding& holding = senders_[sender];
            if (!room) {
                ++holding.dropped;
                ++dropped_here;
                continue;
            }
            holding.bytes += size;
            ++holding.copies;
            pending_bytes_ += size;
            pending_.push_back(std::move(copy), sender);
        }
        if (dropped_here > 0) {
            drops_unreported_ += dropped_here;
            // At most one report a second; the eviction pass reports what is left.
            if (last_drop_report_ != now_seconds) {
                report = std::exchange(drops_unreported_, 0);
                report_from = senders_.take_most_dropped();
                last_drop_report_ = now_seconds;
            }
        }
    }
    report_dropped(report, report_from);
}

// ---- Peer accounting ----------------------------------------------------------------------

PeerStats* detail::StoreCore::peer_record(std::string_view peer) {
    if (auto found = peers_.find(peer); found != peers_.end()) return &found->second;
    if (peers_.size() >= kPeerCapacity || peer.size() > kMaxPeerIdBytes) return nullptr;
    return &peers_.emplace(std::string(peer), PeerStats{}).first->second;
}

void detail::StoreCore::record_rejected(std::string_view peer) {
    std::unique_lock lock(peers_mutex_);
    if (PeerStats* stats = peer_record(peer)) ++stats->entries_rejected;
}

void detail::StoreCore::record_sent(std::string_view peer, std::uint64_t count) {
    const std::uint64_t stamp = now();
    std::unique_lock lock(peers_mutex_);
    if (PeerStats* stats = peer_record(peer)) {
        stats->entries_sent += count;
        stats->last_exchange_epoch = stamp;
    }
}

PeerMap detail::StoreCore::peer_stats() const {
    std::shared_lock lock(peers_mutex_);
    PeerMap copy;
    copy.reserve(peers_.size());
    for (const auto& [peer, stats] : peers_) copy.emplace(peer, stats);
    return copy;
}

// ---- Reading ------------------------------------------------------------------------------

std::vector<GossipEntry> detail::StoreCore::query(Topic topic, std::optional<std::string_view> key_prefix) const {
    std::vector<GossipEntry> result;
    const Shelf& shelf = shelves_[topic_index(topic)];
    std::shared_lock lock(shelf.mutex);
    result.reserve(shelf.table.size());
    for (const auto& block : shelf.table.blocks()) {
        if (now() >= block->expires_at_epoch()) continue;
        if (key_prefix && !std::string_view(block->key()).starts_with(*key_prefix)) continue;
        result.push_back(GossipEntry::of_block(block, block->ttl()));
    }
    return result;
}

StoreStats detail::StoreCore::stats() const {
    StoreStats stats;
    auto count = [this](Topic topic) {
        const Shelf& shelf = shelves_[topic_index(topic)];
        std::shared_lock lock(shelf.mutex);
        return shelf.table.size();
    };
    stats.varne_entries = count(Topic::Varne);
    stats.data_entries = count(Topic::Data);
    stats.compute_entries = count(Topic::Compute);
    {
        std::lock_guard lock(nonce_mutex_);
        stats.nonce_history_size = nonces_.size();
    }
    {
        std::shared_lock lock(peers_mutex_);
        stats.peer_count = peers_.size();
    }
    stats.total_ingested = total_ingested_.load(std::memory_order_relaxed);
    stats.total_evicted = total_evicted_.load(std::memory_order_relaxed);
    return stats;
}

// ---- Pending copies and eviction ------------------------------------------------------------

std::vector<PendingCopy> detail::StoreCore::take_pending_copies() {
    std::lock_guard lock(pending_mutex_);
    std::vector<PendingCopy> taken = pending_.take_all();
    pending_bytes_ = 0;
    senders_.queue_taken();
    return taken;
}

std::uint64_t detail::StoreCore::take_oversized_copies() {
    std::lock_guard lock(pending_mutex_);
    return std::exchange(oversized_unsent_, 0);
}

std::size_t detail::StoreCore::evict_expired() {
    std::size_t total = 0;
    for (Topic topic : kTopics) {
        Shelf& shelf = shelves_[topic_index(topic)];
        std::vector<detail::TopicTable::Block> evicted;  // released after the lock
        std::unique_lock lock(shelf.mutex);
        detail::TopicTable& table = shelf.table;
        // From the back: the last entry fills a removed one's place, and it was seen already.
        for (std::size_t place = table.size(); place-- > 0;) {
            if (now() < table.at(place)->expires_at_epoch()) continue;
            shelf.bytes -= table.at(place)->byte_size();
            shelf.removals.fetch_add(1, std::memory_order_release);
            evicted.push_back(table.erase(place));
        }
        if (!evicted.empty()) {
            QF_LOG(log::Level::Info, log::targets::kGossip, "Evicted stale gossip entries",
                   log::text("topic", topic_name(topic)), log::number("evicted", evicted.size()),
                   log::number("remaining", table.size()));
        }
        lock.unlock();
        total += evicted.size();
    }
    total_evicted_.fetch_add(total, std::memory_order_relaxed);

    std::uint64_t unreported = 0;
    std::string unreported_from;
    {
        std::lock_guard lock(pending_mutex_);
        unreported = std::exchange(drops_unreported_, 0);
        if (unreported > 0) unreported_from = senders_.take_most_dropped();
    }
    report_dropped(unreported, unreported_from);
    return total;
}

// ---- The store's face ----------------------------------------------------------------------

static_assert(sizeof(detail::StoreCore) <= sizeof(GossipStore) && alignof(detail::StoreCore) <= alignof(GossipStore),
              "GossipStore's room for its core is too small");

GossipStore::GossipStore(std::string node_id, std::shared_ptr<const StoreClock> clock, StoreLimits limits) {
    new (core_) detail::StoreCore(std::move(node_id), std::move(clock), limits);
}

GossipStore::~GossipStore() { core().~StoreCore(); }

detail::StoreCore& GossipStore::core() noexcept { return *std::launder(reinterpret_cast<detail::StoreCore*>(core_)); }

const detail::StoreCore& GossipStore::core() const noexcept {
    return *std::launder(reinterpret_cast<const detail::StoreCore*>(core_));
}

Expected<void, core::CoreError> GossipStore::start() { return core().start(); }
StoreState GossipStore::state() const noexcept { return core().state(); }
const std::string& GossipStore::node_id() const noexcept { return core().node_id(); }

IngestOutcome GossipStore::ingest(GossipEntry entry, std::optional<std::string_view> from) {
    return core().ingest(std::move(entry), from);
}

std::vector<IngestOutcome> GossipStore::ingest_batch(std::span<GossipEntry> entries, std::string_view from) {
    return core().ingest_batch(entries, from);
}

std::vector<IngestOutcome> GossipStore::ingest_views(std::span<const EntryView> entries, std::string_view from) {
    return core().ingest_views(entries, from);
}

IngestOutcome GossipStore::inject(Topic topic, std::string key, const json::Value& payload) {
    return core().inject(topic, std::move(key), payload);
}

IngestOutcome GossipStore::inject_payload(Topic topic, std::string key, std::string_view payload) {
    return core().inject_payload(topic, std::move(key), payload);
}

void GossipStore::record_rejected(std::string_view peer) { core().record_rejected(peer); }
std::size_t GossipStore::subscriber_count() const noexcept { return core().subscriber_count(); }

std::vector<GossipEntry> GossipStore::query(Topic topic, std::optional<std::string_view> key_prefix) const {
    return core().query(topic, key_prefix);
}

StoreStats GossipStore::stats() const { return core().stats(); }
PeerMap GossipStore::peer_stats() const { return core().peer_stats(); }
void GossipStore::record_sent(std::string_view peer, std::uint64_t count) { core().record_sent(peer, count); }
std::vector<PendingCopy> GossipStore::take_pending_copies() { return core().take_pending_copies(); }
std::uint64_t GossipStore::take_oversized_copies() { return core().take_oversized_copies(); }
std::size_t GossipStore::evict_expired() { return core().evict_expired(); }

}  // namespace quillfern::gossip
