// GossipStore, the in-memory store of short-lived gossip entries with its rules for
// accepting, forwarding, querying, counting and evicting them; its clock, its bounds and
// the forward copies it hands to the sweep.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quillfern/core_error.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/gossip_entry.hpp"
#include "quillfern/json.hpp"

namespace quillfern::gossip {

namespace detail {
class StoreCore;
}  // namespace detail

// ---- Limits of the store ------------------------------------------------------------

inline constexpr std::size_t kTopicCapacity = 1024;         // entries per topic
inline constexpr std::size_t kNonceHistoryCapacity = 4096;  // nonces remembered
inline constexpr std::size_t kPendingCapacity = 65536;      // queued forward copies
inline constexpr std::size_t kPeerCapacity = 65536;         // peer records
inline constexpr std::size_t kMaxPeerTextBytes = 1024;      // nonce and origin of a peer's entry
inline constexpr std::size_t kMaxPeerIdBytes = 256;         // longer sender ids are not recorded
// Byte budgets beside the count bounds, as GossipEntry::byte_size counts an entry.
inline constexpr std::size_t kPendingBytes = std::size_t{64} << 20;  // all queued copies
inline constexpr std::size_t kTopicBytes = std::size_t{256} << 20;   // the entries of one topic
// A receiving gate refuses lines past 64 MiB, and texts grow when written (a control
// character takes six bytes), so a sweep's entries go out in "gossip.spread" requests of
// at most this many bytes each, as written.
inline constexpr std::size_t kMaxSpreadRequestBytes = std::size_t{8} << 20;
// Room a request's fixed head and tail take besides the sender's node id: the head up to
// the entries' opening bracket, and the brackets, the "from" key and the quotes after them.
inline constexpr std::size_t kSpreadRequestFrameBytes = 128;
inline constexpr std::size_t kBroadcastSlots = 256;
inline constexpr std::uint8_t kLocalTtl = 8;                 // hops of an entry created here
inline constexpr std::uint64_t kLocalLifetimeSeconds = 600;  // life of an entry created here

// The store's lifecycle: built, then running once started (0 and 2 as a byte).
enum class StoreState : std::uint8_t { Built = 0, Running = 2 };

// ---- The store ----------------------------------------------------------------------

// Wall-clock whole seconds since the Unix epoch; 0 before it.
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

// A forward copy waiting for the next sweep: the entry it copies, going on with one hop
// less, counted at the size its JSON form takes in the sweep's request. The size is counted
// when the copy is made, while its block is fresh, and kept beside it: the queue's bounds
// and the sweep read it without touching the block again.
class PendingCopy {
public:
    PendingCopy() = default;
    // The copy of the block's entry, which must have a hop left.
    explicit PendingCopy(std::shared_ptr<const detail::EntryBlock> block) noexcept;

    // The copy as an entry (its texts shared with the stored entry's).
    GossipEntry entry() const { return GossipEntry::of_block(block_, ttl()); }
    const detail::EntryBlock& block() const noexcept { return *block_; }
    std::uint8_t ttl() const noexcept;
    // The length of append_entry_json's text for it.
    std::size_t json_size() const noexcept { return json_size_; }

private:
    std::shared_ptr<const detail::EntryBlock> block_;
    std::size_t json_size_ = 0;
};

// The copy's JSON form, as append_entry_json writes the entry it stands for.
void append_entry_json(std::string& out, const PendingCopy& copy);

// The store's bounds; the defaults are the server's.
struct StoreLimits {
    std::size_t pending_bytes = kPendingBytes;
    std::size_t topic_bytes = kTopicBytes;
    // The sweep's bound on one request: a copy no request of it can carry is not queued.
    std::size_t request_bytes = kMaxSpreadRequestBytes;
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
    // The store's time is the clock's (the wall clock by default).
    explicit GossipStore(std::string node_id,
                         std::shared_ptr<const StoreClock> clock = std::make_shared<const SystemClock>(),
                         StoreLimits limits = {});
    ~GossipStore();
    GossipStore(const GossipStore&) = delete;
    GossipStore& operator=(const GossipStore&) = delete;

    // Built -> running; any later call fails with "cannot start from current state".
    Expected<void, core::CoreError> start();
    StoreState state() const noexcept;
    bool running() const noexcept { return state() == StoreState::Running; }
    const std::string& node_id() const noexcept;

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
    // The same with the payload given as its canonical compact text (nothing to write again).
    IngestOutcome inject_payload(Topic topic, std::string key, std::string_view payload);
    // Adds one to the peer's entries_rejected.
    void record_rejected(std::string_view peer);
    // Live receivers of the update channel: 0, nothing subscribes.
    std::size_t subscriber_count() const noexcept;

    // Copies of the live entries of a topic whose key begins with the prefix, in the
    // map's (unspecified) order.
    std::vector<GossipEntry> query(Topic topic, std::optional<std::string_view> key_prefix) const;
    StoreStats stats() const;
    PeerMap peer_stats() const;
    // Adds count to the peer's entries_sent and stamps its last exchange.
    void record_sent(std::string_view peer, std::uint64_t count);
    // The queued forward copies, oldest first; the queue is left empty. Each copy shares
    // its texts with the stored entry.
    std::vector<PendingCopy> take_pending_copies();
    // The copies left unqueued since the last call because no spread request could carry
    // them; the count starts again from 0. The sweep reports them with the ones it leaves out.
    std::uint64_t take_oversized_copies();
    // Removes the expired entries of every topic; gives how many were removed.
    std::size_t evict_expired();

private:
    detail::StoreCore& core() noexcept;
    const detail::StoreCore& core() const noexcept;

    // The store's collections, their locks and counters live in place, in the store's own
    // memory, as members of it would; only core/src/gossip/ knows their types.
    static constexpr std::size_t kCoreBytes = 25408;  // sizeof(detail::StoreCore), checked where it is defined
    alignas(std::max_align_t) std::byte core_[kCoreBytes];
};

}  // namespace quillfern::gossip
