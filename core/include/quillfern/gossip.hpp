// The gossip engine: the records it keeps (entries, topics, outcomes, statistics) with
// their JSON forms, and GossipStore, the in-memory store of short-lived entries with its
// rules for accepting, forwarding, querying, counting and evicting them.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
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

namespace detail {
class EntryBlock;
}  // namespace detail

// A payload kept as its canonical compact text: keys sorted, no white space, numbers in
// the writer's form; what json::write gives for the value. It is written once when the
// entry comes in; replies, forward copies and batches copy the bytes. The text lives in
// the block of the entry it came with, or in a holder of its own: a Payload is only ever
// reached through a SharedPayload, which keeps that memory alive.
class Payload {
public:
    // `home` is the entry block holding the text, null for a payload of its own.
    Payload(std::string_view text, const detail::EntryBlock* home) noexcept : text_(text), home_(home) {}
    Payload(const Payload&) = delete;
    Payload& operator=(const Payload&) = delete;

    std::string_view text() const noexcept { return text_; }
    // The value, read back from the text.
    json::Value value() const;
    bool operator==(const Payload& other) const noexcept { return text_ == other.text_; }
    const detail::EntryBlock* home() const noexcept { return home_; }

private:
    std::string_view text_;
    const detail::EntryBlock* home_;
};

using SharedPayload = std::shared_ptr<const Payload>;

// The canonical text of a value.
SharedPayload share_payload(const json::Value& payload);
// For text that is already canonical (as json::canonical_text or json::write make it).
SharedPayload share_payload_text(std::string canonical_text);

// A null shared text reads as the empty text, a null payload as JSON null.
const std::string& text_of(const SharedText& text) noexcept;
// The payload's value (read back from its text).
json::Value payload_of(const SharedPayload& payload);
// The payload's canonical text ("null" for a null payload).
std::string_view payload_text(const SharedPayload& payload) noexcept;

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

    // The entry in one block. Entries that were read, or taken from the store, already
    // live in one and share it; any other entry's texts are copied into a new one.
    std::shared_ptr<const detail::EntryBlock> block() const;
    // The same, taking this entry's share of its block when it has one.
    std::shared_ptr<const detail::EntryBlock> take_block() &&;
    // The entry a block holds, with `ttl` hops left; its texts share the block.
    static GossipEntry of_block(std::shared_ptr<const detail::EntryBlock> block, std::uint8_t ttl);

    // The bytes this entry holds in its texts (key, payload, origin, nonce) and its record:
    // what the store's topic budgets count.
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

// An entry of a peer's batch read in place: its texts are views into the request's text
// (the payload already canonical), its numbers decoded. Nothing is built for it until the
// store knows it may keep it.
struct EntryView {
    Topic topic = Topic::Varne;
    std::string_view key, payload, origin_gate, nonce;
    std::uint8_t ttl = 0;
    std::uint64_t version = 0;
    std::uint64_t created_at_epoch = 0;
    std::uint64_t expires_at_epoch = 0;

    // One entry object in its plain form: each of the nine members once, in any order, no
    // other; strings without escapes, the topic by its name, integers plain, the payload
    // its own canonical text at most 64 levels deep. Anything else is declined (the reader
    // is left declined): GossipEntry::read then reads it by every rule. What is taken
    // here, GossipEntry::read gives as the same entry.
    static EntryView read(json::PlainReader& reader) noexcept;
    // The entry built from it, in one block; an origin equal to `known_origin`'s text shares it.
    GossipEntry entry(const SharedText& known_origin = nullptr) const;
};

namespace detail {

// One entry in one allocation: its numbers, its key, its origin, and the texts of its
// nonce and payload right behind the record. Immutable once made: the stored entry, its
// forward copies and every GossipEntry taken from them share it.
class EntryBlock {
    struct Made {};  // only make() builds blocks
    // The room for the texts behind the block, and where it begins once allocated.
    struct Trailing {
        std::size_t size = 0;
        char* at = nullptr;
    };
    template <class T>
    struct Allocator;

public:
    struct Parts {
        Topic topic = Topic::Varne;
        std::string key{};
        SharedText origin{};
        std::string_view nonce{};
        std::string_view payload{};  // canonical text
        std::uint8_t ttl = 0;
        std::uint64_t version = 0;
        std::uint64_t created_at_epoch = 0;
        std::uint64_t expires_at_epoch = 0;
    };
    // The block of these parts; the nonce and payload texts are copied into it.
    static std::shared_ptr<const EntryBlock> make(Parts parts);

    Topic topic() const noexcept { return topic_; }
    const std::string& key() const noexcept { return key_; }
    const SharedText& origin() const noexcept { return origin_; }
    std::string_view nonce() const noexcept { return {payload_.text().data() - nonce_size_, nonce_size_}; }
    const Payload& payload() const noexcept { return payload_; }
    std::uint8_t ttl() const noexcept { return ttl_; }
    std::uint64_t version() const noexcept { return version_; }
    std::uint64_t created_at_epoch() const noexcept { return created_at_epoch_; }
    std::uint64_t expires_at_epoch() const noexcept { return expires_at_epoch_; }

    // As GossipEntry::byte_size counts the entry it holds.
    std::size_t byte_size() const noexcept;
    // The length of append_entry_json's text for the entry with `ttl` hops left. All but
    // the digits of the hops is counted once and kept.
    std::size_t json_size(std::uint8_t ttl) const noexcept;
    // Whether `entry` is this block's entry, field for field.
    bool holds(const GossipEntry& entry) const noexcept;

    EntryBlock(Made, Parts&& parts, const Trailing& text) noexcept;

private:
    std::string key_;
    SharedText origin_;
    Payload payload_;  // its text follows the nonce's, behind the block
    std::uint64_t version_;
    std::uint64_t created_at_epoch_;
    std::uint64_t expires_at_epoch_;
    std::uint32_t nonce_size_;
    Topic topic_;
    std::uint8_t ttl_;
    // json_size without the hops' digits once counted (0 before; kUncounted when too large).
    mutable std::atomic<std::uint16_t> json_frame_{0};
    static constexpr std::uint16_t kUncounted = 0xFFFF;
};

}  // namespace detail

// A forward copy waiting for the next sweep: the entry it copies, going on with one hop
// less, counted at the size its JSON form takes in the sweep's request.
class PendingCopy {
public:
    PendingCopy() = default;
    // The copy of the block's entry, which must have a hop left.
    explicit PendingCopy(std::shared_ptr<const detail::EntryBlock> block) noexcept : block_(std::move(block)) {}

    // The copy as an entry (its texts shared with the stored entry's).
    GossipEntry entry() const { return GossipEntry::of_block(block_, ttl()); }
    const detail::EntryBlock& block() const noexcept { return *block_; }
    std::uint8_t ttl() const noexcept;
    // The length of append_entry_json's text for it.
    std::size_t json_size() const noexcept;

private:
    std::shared_ptr<const detail::EntryBlock> block_;
};

// The copy's JSON form, as append_entry_json writes the entry it stands for.
void append_entry_json(std::string& out, const PendingCopy& copy);

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

// A nonce's digits without a string of their own (48 of them, 56 once the counter passes
// 32 bits).
struct NonceDigits {
    char digits[56];
    std::uint8_t size = 0;
    std::string_view text() const noexcept { return {digits, size}; }
};
NonceDigits nonce_digits(WallReading reading);

// The store's time: whole seconds since the Unix epoch (0 before it).
class StoreClock {
public:
    virtual ~StoreClock() = default;
    virtual std::uint64_t now() const = 0;

    // For an entry created now: the reading its nonce is stamped with and its seconds.
    struct Stamp {
        WallReading nonce_time;
        std::uint64_t seconds = 0;
    };
    // The wall clock stamps the nonce; the seconds are now()'s.
    virtual Stamp stamp() const { return {WallReading::now(), now()}; }
};

// The wall clock; one reading serves both halves of a stamp.
class SystemClock final : public StoreClock {
public:
    std::uint64_t now() const override { return system_now(); }
    Stamp stamp() const override;
};

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

// The nonces of the last `capacity` (at most 32,768) accepted entries, oldest forgotten
// first. The texts sit in a ring of fixed records in arrival order (a longer text in a
// block of its own); an open-addressing table of 4-byte slots finds them, each slot the
// low 16 bits of the nonce's hash (its home and a tag) and the record's place. Nothing is
// allocated once it is made but for long texts.
class NonceHistory {
public:
    explicit NonceHistory(std::size_t capacity);
    ~NonceHistory();
    NonceHistory(const NonceHistory&) = delete;
    NonceHistory& operator=(const NonceHistory&) = delete;

    static std::uint64_t hash(std::string_view nonce) noexcept { return std::hash<std::string_view>{}(nonce); }
    bool contains(std::string_view nonce, std::uint64_t hash) const noexcept;

    // Nonces longer than this keep their text in a block of their own.
    static constexpr std::size_t kInlineBytes = 50;
    // That block, made before a lock is taken: null for a nonce that fits its record.
    static std::unique_ptr<char[]> own_text(std::string_view nonce);
    // Adds a nonce that is not held yet; beyond the capacity the oldest is forgotten.
    // `own` is own_text(nonce), or null to have it made here. Throws only when it makes it.
    void add(std::string_view nonce, std::uint64_t hash, std::unique_ptr<char[]> own = nullptr);
    std::size_t size() const noexcept { return size_; }

private:
    struct Record {  // left uninitialized until used
        std::uint32_t size;
        std::uint16_t hash_bits;  // the low 16 bits of its hash: where its slot's run begins
        char text[kInlineBytes];  // the text, or the pointer to its own block
    };
    static const char* text_of(const Record& record) noexcept;
    std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & mask_; }
    void forget_oldest() noexcept;

    std::size_t capacity_;
    std::size_t mask_;                        // at most 16 bits
    std::unique_ptr<std::uint32_t[]> slots_;  // hash bits << 16 | (record + 1); 0 is free
    std::unique_ptr<Record[]> records_;       // a ring, oldest at head_
    std::size_t head_ = 0;
    std::size_t size_ = 0;
};

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

// The queued forward copies, oldest first, in a ring that grows to its bound and keeps
// its memory when it is emptied.
class PendingRing {
public:
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    // Room must be left (size() < kPendingCapacity); grows the ring when it is full.
    void push_back(PendingCopy copy);
    PendingCopy pop_front() noexcept;
    // Every copy, oldest first; the ring is left empty with its memory.
    std::vector<PendingCopy> take_all();

private:
    std::vector<PendingCopy> ring_;
    std::size_t head_ = 0;
    std::size_t size_ = 0;
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

// The store's bounds; the defaults are the server's.
struct StoreLimits {
    std::size_t pending_bytes = kPendingBytes;
    std::size_t topic_bytes = kTopicBytes;
};

// One per process, shared by every task. Operations are synchronous and thread-safe.
// Each collection has its own lock: the nonce history, each topic's entries, the pending
// copies and the peers. Only two are ever held at once, the nonce history and then one
// topic's entries: the nonce check, the entries' checks and the nonce record are one
// critical section, so that of two copies of one nonce ingested at once exactly one is
// accepted. Everything else (validation, hashing, building the entry's block, queueing
// its forward copy, peer accounting) is done outside it.
class GossipStore {
public:
    // The store's time from a function of the seconds (the wall clock by default) or a clock.
    explicit GossipStore(std::string node_id, Clock clock = &system_now, StoreLimits limits = {});
    GossipStore(std::string node_id, std::shared_ptr<const StoreClock> clock, StoreLimits limits = {});
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
    // The same without building entries: each copy shares its texts with the stored entry.
    std::vector<PendingCopy> take_pending_copies();
    // Removes the expired entries of every topic; gives how many were removed.
    std::size_t evict_expired();

private:
    struct Shelf {  // one topic's entries
        mutable std::shared_mutex mutex;
        detail::TopicTable table;
        std::size_t bytes = 0;  // byte_size of its entries
    };
    struct Work;                                                            // one entry on its way through a slice
    static constexpr std::size_t kSliceEntries = 256;                       // entries taken through the locks together
    using Released = std::array<detail::TopicTable::Block, kSliceEntries>;  // entries replaced in a slice

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
                                        std::size_t& locked_shelf, Released& released, std::size_t& replaced);
    // After the locks: forward copies, the peer's counts, totals and notices.
    void pass_on(std::span<Work> slice, std::optional<std::string_view> from, std::uint64_t now_seconds,
                 std::size_t accepted, std::uint64_t rejected);
    // Queues copies (oldest first), dropping the oldest queued ones beyond the bounds;
    // reports the drops at most once a second. Copies dropped are released after the lock.
    void queue_forward_copies(std::span<PendingCopy> copies, std::uint64_t now_seconds);
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
    detail::NonceHistory nonces_{kNonceHistoryCapacity};

    std::array<Shelf, kTopics.size()> shelves_;

    mutable std::shared_mutex peers_mutex_;
    detail::TextMap<PeerStats> peers_;

    std::mutex pending_mutex_;
    detail::PendingRing pending_;
    std::size_t pending_bytes_ = 0;                  // the json_size of the queued copies
    std::uint64_t drops_unreported_ = 0;             // copies dropped since the last report
    std::optional<std::uint64_t> last_drop_report_;  // the second of the last report made on a drop

    std::atomic<std::uint64_t> total_ingested_{0};
    std::atomic<std::uint64_t> total_evicted_{0};
    detail::UpdateSender updates_;
    std::atomic<std::uint8_t> state_{kStateBuilt};
};

}  // namespace quillfern::gossip
