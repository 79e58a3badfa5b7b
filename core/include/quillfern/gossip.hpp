// The gossip engine: the records it keeps (entries, topics, outcomes, statistics) with
// their JSON forms, and GossipStore, the in-memory store of short-lived entries with its
// rules for accepting, forwarding, querying, counting and evicting them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "quillfern/core_error.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/json.hpp"

namespace quillfern::gossip {

// ---- Topics -------------------------------------------------------------------------

enum class Topic : std::uint8_t { Varne = 0, Data = 1, Compute = 2 };

// Every topic, in topic order (the order in which topics are listed and counted).
inline constexpr std::array<Topic, 3> kTopics{Topic::Varne, Topic::Data, Topic::Compute};

// "varne", "data" or "compute", matched byte for byte (letter case and blanks count).
std::optional<Topic> parse_topic(std::string_view text) noexcept;
// "varne" | "data" | "compute"
std::string_view topic_name(Topic topic) noexcept;

// ---- Limits of the store ------------------------------------------------------------

inline constexpr std::size_t kTopicCapacity = 1024;         // entries per topic
inline constexpr std::size_t kNonceHistoryCapacity = 4096;  // nonces remembered
inline constexpr std::size_t kPendingCapacity = 65536;      // queued forward copies
inline constexpr std::size_t kPeerCapacity = 65536;         // peer records
inline constexpr std::size_t kMaxKeyBytes = 256;
inline constexpr std::size_t kMaxPeerTextBytes = 1024;  // nonce and origin of a peer's entry
inline constexpr std::size_t kMaxPeerIdBytes = 256;     // longer sender ids are not recorded
// Byte budgets beside the count bounds, as GossipEntry::byte_size counts an entry.
inline constexpr std::size_t kPendingBytes = std::size_t{64} << 20;  // all queued copies
inline constexpr std::size_t kTopicBytes = std::size_t{256} << 20;   // the entries of one topic
inline constexpr std::size_t kBroadcastSlots = 256;
inline constexpr std::uint8_t kLocalTtl = 8;                 // hops of an entry created here
inline constexpr std::uint64_t kLocalLifetimeSeconds = 600;  // life of an entry created here
inline constexpr std::uint8_t kStateBuilt = 0;
inline constexpr std::uint8_t kStateRunning = 2;

// ---- Entries ------------------------------------------------------------------------

// Immutable texts and payloads: every copy of an entry shares them.
using SharedText = std::shared_ptr<const std::string>;

inline SharedText share_text(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

// A payload kept as its canonical compact text: keys sorted, no white space, numbers in
// the writer's form; what json::write gives for the value. It is written once when the
// entry comes in; replies, forward copies and batches copy the bytes, and its size in
// memory is about its text's length.
class Payload {
public:
    // The canonical text of a value.
    static Payload from_value(const json::Value& value);
    // `text` must already be canonical (as json::canonical_text or json::write make it).
    static Payload from_canonical_text(std::string text) noexcept { return Payload(std::move(text)); }

    const std::string& text() const noexcept { return text_; }
    // The value, read back from the text.
    json::Value value() const;
    bool operator==(const Payload&) const = default;

private:
    explicit Payload(std::string text) noexcept : text_(std::move(text)) {}
    std::string text_;
};

using SharedPayload = std::shared_ptr<const Payload>;

inline SharedPayload share_payload(const json::Value& payload) {
    return std::make_shared<const Payload>(Payload::from_value(payload));
}
// For text that is already canonical.
inline SharedPayload share_payload_text(std::string canonical_text) {
    return std::make_shared<const Payload>(Payload::from_canonical_text(std::move(canonical_text)));
}

// A null shared text reads as the empty text, a null payload as JSON null.
const std::string& text_of(const SharedText& text) noexcept;
// The payload's value (read back from its text).
json::Value payload_of(const SharedPayload& payload);
// The payload's canonical text ("null" for a null payload).
const std::string& payload_text(const SharedPayload& payload) noexcept;

struct GossipEntry {
    Topic topic = Topic::Varne;
    SharedText key;
    SharedPayload payload;
    SharedText origin_gate;  // node id of the gate that created the entry
    std::string nonce;       // one per created entry; every copy carries it
    std::uint8_t ttl = 0;    // forwarding hops left
    std::uint64_t version = 0;
    std::uint64_t created_at_epoch = 0;
    std::uint64_t expires_at_epoch = 0;  // expired once now >= expires_at_epoch

    // An equal entry sharing key, payload and origin; the nonce is copied.
    GossipEntry clone() const { return *this; }
    // None when no hop is left; else a clone with one hop less.
    std::optional<GossipEntry> forward_copy() const;

    // {"created_at_epoch","expires_at_epoch","key","nonce","origin_gate","payload","topic","ttl","version"}
    // (append_entry_json writes the same as text).
    json::Value to_json() const;
    // Object form (unknown members skipped) or array form (nine values in field order);
    // errors are worded like serde_json's ("missing field `payload`", ...).
    static Expected<GossipEntry, std::string> from_json(const json::Value& value);
    // The same reading straight from the text of one JSON value at nesting level `depth`
    // (arrays and objects already open around it), the payload kept as canonical text.
    // Gives what from_json gives for the value the reader would build. When the text is
    // not JSON, the reader is failed and the result meaningless. An origin equal to
    // `known_origin`'s text shares it (the entries of one batch come from few gates).
    static Expected<GossipEntry, std::string> read(json::Reader& reader, std::uint32_t depth,
                                                   const SharedText& known_origin = nullptr);

    // The bytes this entry holds in its texts (key, payload, origin, nonce) and its record:
    // what the store's byte budgets count.
    std::size_t byte_size() const noexcept;

    // Compares the values, not the pointers.
    bool operator==(const GossipEntry& other) const;
};

// A JSON array with one object per entry, in order.
json::Value entries_to_json(std::span<const GossipEntry> entries);

// The entry's JSON form appended as compact text: the one writer of it (to_json gives the
// same as a value). The payload's canonical text is copied as it is.
void append_entry_json(std::string& out, const GossipEntry& entry);
// A JSON array of the entries' objects, in order.
void append_entries_json(std::string& out, std::span<const GossipEntry> entries);

// ---- Outcomes and statistics ---------------------------------------------------------

enum class IngestOutcome : std::uint8_t { Accepted = 0, Duplicate = 1, Expired = 2, Rejected = 3, AtCapacity = 4 };

// The variant name: "Accepted", "Duplicate", "Expired", "Rejected", "AtCapacity".
std::string_view outcome_name(IngestOutcome outcome) noexcept;

struct PeerStats {
    std::uint64_t entries_received = 0;
    std::uint64_t entries_sent = 0;
    std::uint64_t last_exchange_epoch = 0;
    std::uint64_t entries_rejected = 0;

    // {"entries_received","entries_rejected","entries_sent","last_exchange_epoch"}
    json::Value to_json() const;
    bool operator==(const PeerStats&) const = default;
};

using PeerMap = std::unordered_map<std::string, PeerStats>;
// One member per peer id, each holding that peer's PeerStats object.
json::Value peers_to_json(const PeerMap& peers);

struct StoreStats {
    std::size_t varne_entries = 0;
    std::size_t data_entries = 0;
    std::size_t compute_entries = 0;
    std::size_t nonce_history_size = 0;
    std::size_t peer_count = 0;
    std::uint64_t total_ingested = 0;
    std::uint64_t total_evicted = 0;

    // {"compute_entries","data_entries","nonce_history_size","peer_count","total_evicted",
    //  "total_ingested","varne_entries"}
    json::Value to_json() const;
    bool operator==(const StoreStats&) const = default;
};

// The notice of one accepted entry.
struct GossipUpdate {
    Topic topic = Topic::Varne;
    SharedText key;
    SharedText origin_gate;
    std::uint64_t version = 0;
};

// ---- The store ----------------------------------------------------------------------

// Wall-clock whole seconds since the Unix epoch; 0 before it.
using Clock = std::uint64_t (*)();
std::uint64_t system_now();

// "<32 hex digits of the wall clock in ns><8 of the pid><8 of a process-wide counter>".
std::string make_nonce();

// One wall-clock reading in nanoseconds since the Unix epoch (0 before it), and what it
// gives: its whole seconds (as system_now) and a nonce stamped with it (as make_nonce).
struct WallReading {
    std::uint64_t nanoseconds = 0;
    static WallReading now() noexcept;
    std::uint64_t seconds() const noexcept { return nanoseconds / 1'000'000'000u; }
};
std::string make_nonce(WallReading reading);

namespace detail {

struct TextHash {
    using is_transparent = void;
    // Deliberately not noexcept: the standard library then keeps each element's hash in
    // its node, so that a collision or an erase compares hashes instead of hashing and
    // comparing texts again.
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <class T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

// The nonces of the last `capacity` accepted entries, oldest forgotten first: an open-
// addressing table of (hash, text) slots over the texts kept in arrival order. A look-up
// touches the slots' cache line and compares a text only when its hash matches.
class NonceHistory {
public:
    explicit NonceHistory(std::size_t capacity);

    static std::uint64_t hash(std::string_view nonce) noexcept { return std::hash<std::string_view>{}(nonce); }
    bool contains(std::string_view nonce, std::uint64_t hash) const noexcept;
    // Adds a nonce that is not held yet; beyond the capacity the oldest is forgotten.
    void add(std::string nonce, std::uint64_t hash);
    std::size_t size() const noexcept { return order_.size(); }

private:
    struct Held {
        std::string text;
        std::uint64_t hash;
    };
    struct Slot {
        std::uint64_t hash = 0;
        const Held* held = nullptr;  // null: free
    };
    std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & mask_; }
    void forget_oldest() noexcept;

    std::size_t capacity_;
    std::size_t mask_;
    std::vector<Slot> slots_;  // a power of two, at least twice the capacity
    std::deque<Held> order_;   // oldest first; a deque keeps its elements in place at both ends
};

// The sending side of the update channel (256 slots). Nothing in the system subscribes,
// so it keeps no queue: a notice sent without a receiver is dropped.
class UpdateSender {
public:
    std::size_t receiver_count() const noexcept { return receivers_.load(std::memory_order_relaxed); }
    // False when there was no receiver to take the notice.
    bool send(const GossipUpdate& update) const noexcept;

private:
    std::atomic<std::size_t> receivers_{0};
};

}  // namespace detail

// One per process, shared by every task. Operations are synchronous and thread-safe;
// each collection has its own lock, taken in this order when two are held at once:
// nonce history, entries, pending, peers.
// The store's bounds; the defaults are the server's.
struct StoreLimits {
    std::size_t pending_bytes = kPendingBytes;
    std::size_t topic_bytes = kTopicBytes;
};

class GossipStore {
public:
    explicit GossipStore(std::string node_id, Clock clock = &system_now, StoreLimits limits = {});
    GossipStore(const GossipStore&) = delete;
    GossipStore& operator=(const GossipStore&) = delete;

    // Built -> running; any later call fails with "cannot start from current state".
    Expected<void, core::CoreError> start();
    std::uint8_t state() const noexcept { return state_.load(std::memory_order_acquire); }
    bool running() const noexcept { return state() == kStateRunning; }
    const std::string& node_id() const noexcept { return *node_id_; }

    // Applies the store's rules to one entry; `from` names the sending peer, none for
    // an entry created on this gate.
    IngestOutcome ingest(GossipEntry entry, std::optional<std::string_view> from);
    // Creates an entry on this gate (8 hops, 600 s of life), queues its forward copy
    // whatever the outcome, and ingests it.
    IngestOutcome inject(Topic topic, std::string key, const json::Value& payload);
    // The same with the payload already in canonical form (nothing to write again).
    IngestOutcome inject_payload(Topic topic, std::string key, SharedPayload payload);
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
    // The queued forward copies, oldest first; the queue is left empty.
    std::vector<GossipEntry> take_pending();
    // Removes the expired entries of every topic; gives how many were removed.
    std::size_t evict_expired();

private:
    using TopicMap = detail::TextMap<GossipEntry>;

    std::uint64_t now() const { return clock_(); }
    // ingest with the clock already read.
    IngestOutcome ingest_at(GossipEntry entry, std::optional<std::string_view> from, std::uint64_t now_seconds);
    void count_rejection(std::optional<std::string_view> from);
    void record_received(std::string_view peer);
    void queue_forward_copy(GossipEntry copy);
    // Under entries_mutex_: whether the topic's bytes stay within budget when an entry of
    // `added` bytes replaces one of `removed` bytes.
    bool fits_topic_budget(std::size_t topic, std::size_t added, std::size_t removed) const noexcept;
    // Finds or creates the peer's record; null when the map is full and the peer new.
    // The caller holds peers_mutex_ exclusively.
    PeerStats* peer_record(std::string_view peer);

    SharedText node_id_;
    Clock clock_;

    StoreLimits limits_;

    mutable std::shared_mutex entries_mutex_;
    std::array<TopicMap, kTopics.size()> entries_;
    std::array<std::size_t, kTopics.size()> topic_bytes_{};  // byte_size of each topic's entries

    // Plain mutexes where (nearly) every use writes: cheaper than reader-writer locks.
    mutable std::mutex nonce_mutex_;
    detail::NonceHistory nonces_{kNonceHistoryCapacity};

    mutable std::shared_mutex peers_mutex_;
    detail::TextMap<PeerStats> peers_;

    std::mutex pending_mutex_;
    std::deque<GossipEntry> pending_;
    std::deque<std::size_t> pending_sizes_;  // byte_size of each queued copy (their texts are cold)
    std::size_t pending_bytes_ = 0;          // their sum

    std::atomic<std::uint64_t> total_ingested_{0};
    std::atomic<std::uint64_t> total_evicted_{0};
    std::atomic<std::uint64_t> pending_dropped_{0};  // since the last eviction pass
    detail::UpdateSender updates_;
    std::atomic<std::uint8_t> state_{kStateBuilt};
};

}  // namespace quillfern::gossip
