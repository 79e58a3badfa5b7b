// GossipStore: lifecycle, ingest and inject, queries, peer accounting, pending
// forward copies and eviction.
#include <limits>
#include <mutex>

#include "quillfern/gossip.hpp"
#include "quillfern/log.hpp"
#include "quillfern/text.hpp"

namespace quillfern::gossip {
namespace {

constexpr std::string_view kLogTarget = "quillfern_core::gossip";

// 1 to 256 bytes of UTF-8 without control characters (U+0000-U+001F, U+007F-U+009F).
bool is_acceptable_key(std::string_view key) noexcept {
    if (key.empty() || key.size() > kMaxKeyBytes || !text::is_valid_utf8(key)) return false;
    for (std::size_t i = 0; i < key.size(); ++i) {
        auto byte = static_cast<unsigned char>(key[i]);
        if (byte < 0x20 || byte == 0x7F) return false;
        // In valid UTF-8, 0xC2 leads exactly the code points U+0080-U+00BF.
        if (byte == 0xC2 && static_cast<unsigned char>(key[i + 1]) <= 0x9F) return false;
    }
    return true;
}

std::size_t topic_index(Topic topic) noexcept { return static_cast<std::size_t>(topic) % kTopics.size(); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) noexcept {
    return a > std::numeric_limits<std::uint64_t>::max() - b ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

bool detail::UpdateSender::send(const GossipUpdate&) const noexcept {
    // Without a receiver the notice has nowhere to go and is dropped.
    return receiver_count() > 0;
}

GossipStore::GossipStore(std::string node_id, Clock clock, StoreLimits limits)
    : node_id_(share_text(std::move(node_id))), clock_(clock != nullptr ? clock : &system_now), limits_(limits) {}

Expected<void, core::CoreError> GossipStore::start() {
    std::uint8_t expected = kStateBuilt;
    if (!state_.compare_exchange_strong(expected, kStateRunning, std::memory_order_acq_rel)) {
        return unexpected(core::CoreError::lifecycle("cannot start from current state"));
    }
    return {};
}

// ---- Ingest and inject ------------------------------------------------------------------

IngestOutcome GossipStore::ingest(GossipEntry entry, std::optional<std::string_view> from) {
    return ingest_at(std::move(entry), from, now());
}

IngestOutcome GossipStore::ingest_at(GossipEntry entry, std::optional<std::string_view> from,
                                     std::uint64_t now_seconds) {
    if (now_seconds >= entry.expires_at_epoch) {
        count_rejection(from);
        return IngestOutcome::Expired;
    }
    if (entry.ttl == 0 && from) {
        count_rejection(from);
        return IngestOutcome::Expired;
    }
    // A peer's entry whose nonce or origin is oversized is refused like a bad key: neither
    // is kept in the history or the peer's copies at such a size.
    const bool key_ok =
        is_acceptable_key(text_of(entry.key)) &&
        (!from || (entry.nonce.size() <= kMaxPeerTextBytes && text_of(entry.origin_gate).size() <= kMaxPeerTextBytes));

    // The nonce check and the nonce record form one critical section: of two copies
    // of one nonce ingested at once, exactly one is accepted.
    std::unique_lock nonce_lock(nonce_mutex_);
    const std::uint64_t nonce_hash = detail::NonceHistory::hash(entry.nonce);
    if (nonces_.contains(entry.nonce, nonce_hash)) {
        count_rejection(from);
        return IngestOutcome::Duplicate;
    }
    if (!key_ok) {
        count_rejection(from);
        return IngestOutcome::Rejected;
    }

    std::optional<GossipEntry> forward = from ? entry.forward_copy() : std::nullopt;
    // The notice is built only when something can take it (a receiver of the channel or
    // the DEBUG line): its copies of key and origin are two more updates of shared
    // counters that every worker touches.
    std::optional<GossipUpdate> update;
    if (updates_.receiver_count() > 0 ||
        static_cast<int>(log::Level::Debug) >= log::g_max_level.load(std::memory_order_relaxed)) {
        update.emplace(GossipUpdate{entry.topic, entry.key, entry.origin_gate, entry.version});
    }
    const std::uint8_t ttl_received = entry.ttl;
    std::string nonce;
    const std::size_t entry_bytes = entry.byte_size();
    {
        std::unique_lock entries_lock(entries_mutex_);
        const std::size_t topic = topic_index(entry.topic);
        TopicMap& map = entries_[topic];
        auto held = map.find(text_of(entry.key));
        if (held == map.end()) {
            if (map.size() >= kTopicCapacity || !fits_topic_budget(topic, entry_bytes, 0)) {
                return IngestOutcome::AtCapacity;
            }
            nonce = entry.nonce;
            std::string key = text_of(entry.key);
            map.emplace(std::move(key), std::move(entry));
            topic_bytes_[topic] += entry_bytes;
        } else if (held->second.version >= entry.version) {
            entries_lock.unlock();
            count_rejection(from);
            return IngestOutcome::Duplicate;
        } else {
            const std::size_t held_bytes = held->second.byte_size();
            if (!fits_topic_budget(topic, entry_bytes, held_bytes)) return IngestOutcome::AtCapacity;
            // The older entry ends up in `entry` and is released after the locks.
            nonce = entry.nonce;
            std::swap(held->second, entry);
            topic_bytes_[topic] = topic_bytes_[topic] - held_bytes + entry_bytes;
        }
    }

    if (from) {
        if (forward) queue_forward_copy(std::move(*forward));
        record_received(*from);
    }
    total_ingested_.fetch_add(1, std::memory_order_relaxed);

    // Not held yet: it was looked for under this same lock.
    nonces_.add(std::move(nonce), nonce_hash);
    nonce_lock.unlock();

    if (update) {
        QF_LOG(log::Level::Debug, kLogTarget, "Gossip entry ingested", log::text("topic", topic_name(update->topic)),
               log::text("key", text_of(update->key)), log::text("origin", text_of(update->origin_gate)),
               log::number("ttl", ttl_received));
        updates_.send(*update);
    }
    return IngestOutcome::Accepted;
}

IngestOutcome GossipStore::inject(Topic topic, std::string key, const json::Value& payload) {
    return inject_payload(topic, std::move(key), share_payload(payload));
}

IngestOutcome GossipStore::inject_payload(Topic topic, std::string key, SharedPayload payload) {
    // On the system clock one reading serves the nonce, the entry's seconds and the
    // expiry check; another clock is asked for each of them.
    const bool system_clock = clock_ == &system_now;
    const WallReading reading = system_clock ? WallReading::now() : WallReading{};
    const std::uint64_t created = system_clock ? reading.seconds() : now();
    GossipEntry entry;
    entry.topic = topic;
    entry.key = share_text(std::move(key));
    entry.payload = std::move(payload);
    entry.origin_gate = node_id_;
    entry.nonce = system_clock ? make_nonce(reading) : make_nonce();
    entry.ttl = kLocalTtl;
    entry.version = created;
    entry.created_at_epoch = created;
    entry.expires_at_epoch = saturating_add(created, kLocalLifetimeSeconds);

    // Queued before the ingest, whatever its outcome.
    if (auto forward = entry.forward_copy()) queue_forward_copy(std::move(*forward));
    return ingest_at(std::move(entry), std::nullopt, system_clock ? created : now());
}

bool GossipStore::fits_topic_budget(std::size_t topic, std::size_t added, std::size_t removed) const noexcept {
    const std::size_t kept = topic_bytes_[topic] - removed;
    return added <= limits_.topic_bytes && kept <= limits_.topic_bytes - added;
}

void GossipStore::count_rejection(std::optional<std::string_view> from) {
    if (from) record_rejected(*from);
}

void GossipStore::queue_forward_copy(GossipEntry copy) {
    const std::size_t copy_bytes = copy.byte_size();
    if (copy_bytes > limits_.pending_bytes) {
        // Larger than the whole budget: dropped itself, the queue left as it is.
        pending_dropped_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::vector<GossipEntry> dropped;  // released after the lock
    std::lock_guard lock(pending_mutex_);
    // The oldest copies make room, by count and by bytes.
    while (!pending_.empty() &&
           (pending_.size() >= kPendingCapacity || pending_bytes_ + copy_bytes > limits_.pending_bytes)) {
        pending_bytes_ -= pending_sizes_.front();
        pending_sizes_.pop_front();
        dropped.push_back(std::move(pending_.front()));
        pending_.pop_front();
    }
    if (!dropped.empty()) pending_dropped_.fetch_add(dropped.size(), std::memory_order_relaxed);
    pending_bytes_ += copy_bytes;
    pending_sizes_.push_back(copy_bytes);
    pending_.push_back(std::move(copy));
}

// ---- Peer accounting ----------------------------------------------------------------------

PeerStats* GossipStore::peer_record(std::string_view peer) {
    if (auto found = peers_.find(peer); found != peers_.end()) return &found->second;
    if (peers_.size() >= kPeerCapacity || peer.size() > kMaxPeerIdBytes) return nullptr;
    return &peers_.emplace(std::string(peer), PeerStats{}).first->second;
}

void GossipStore::record_rejected(std::string_view peer) {
    std::unique_lock lock(peers_mutex_);
    if (PeerStats* stats = peer_record(peer)) ++stats->entries_rejected;
}

void GossipStore::record_received(std::string_view peer) {
    const std::uint64_t stamp = now();
    std::unique_lock lock(peers_mutex_);
    if (PeerStats* stats = peer_record(peer)) {
        ++stats->entries_received;
        stats->last_exchange_epoch = stamp;
    }
}

void GossipStore::record_sent(std::string_view peer, std::uint64_t count) {
    const std::uint64_t stamp = now();
    std::unique_lock lock(peers_mutex_);
    if (PeerStats* stats = peer_record(peer)) {
        stats->entries_sent += count;
        stats->last_exchange_epoch = stamp;
    }
}

PeerMap GossipStore::peer_stats() const {
    std::shared_lock lock(peers_mutex_);
    PeerMap copy;
    copy.reserve(peers_.size());
    for (const auto& [peer, stats] : peers_) copy.emplace(peer, stats);
    return copy;
}

// ---- Reading ------------------------------------------------------------------------------

std::vector<GossipEntry> GossipStore::query(Topic topic, std::optional<std::string_view> key_prefix) const {
    std::vector<GossipEntry> result;
    std::shared_lock lock(entries_mutex_);
    for (const auto& [key, entry] : entries_[topic_index(topic)]) {
        if (now() >= entry.expires_at_epoch) continue;
        if (key_prefix && !std::string_view(key).starts_with(*key_prefix)) continue;
        result.push_back(entry.clone());
    }
    return result;
}

StoreStats GossipStore::stats() const {
    StoreStats stats;
    {
        std::shared_lock lock(entries_mutex_);
        stats.varne_entries = entries_[topic_index(Topic::Varne)].size();
        stats.data_entries = entries_[topic_index(Topic::Data)].size();
        stats.compute_entries = entries_[topic_index(Topic::Compute)].size();
    }
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

std::vector<GossipEntry> GossipStore::take_pending() {
    std::deque<GossipEntry> taken;
    {
        std::unique_lock lock(pending_mutex_);
        taken.swap(pending_);
        pending_sizes_.clear();
        pending_bytes_ = 0;
    }
    return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

std::size_t GossipStore::evict_expired() {
    std::size_t total = 0;
    {
        std::unique_lock lock(entries_mutex_);
        for (Topic topic : kTopics) {
            TopicMap& map = entries_[topic_index(topic)];
            std::size_t& bytes = topic_bytes_[topic_index(topic)];
            const std::size_t evicted = std::erase_if(map, [this, &bytes](const auto& item) {
                if (now() < item.second.expires_at_epoch) return false;
                bytes -= item.second.byte_size();
                return true;
            });
            if (evicted > 0) {
                QF_LOG(log::Level::Info, kLogTarget, "Evicted stale gossip entries",
                       log::text("topic", topic_name(topic)), log::number("evicted", evicted),
                       log::number("remaining", map.size()));
            }
            total += evicted;
        }
    }
    total_evicted_.fetch_add(total, std::memory_order_relaxed);

    if (const std::uint64_t dropped = pending_dropped_.exchange(0, std::memory_order_relaxed); dropped > 0) {
        QF_LOG(log::Level::Warn, kLogTarget, "Pending forward copies dropped", log::number("dropped", dropped));
    }
    return total;
}

}  // namespace quillfern::gossip
