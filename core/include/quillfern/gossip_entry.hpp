// The gossip vocabulary: topics, entries with their payloads and JSON forms, the checks a
// key must pass, ingest outcomes and the store's statistics records.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

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

// ---- Keys ---------------------------------------------------------------------------

inline constexpr std::size_t kMaxKeyBytes = 256;

// 1 to 256 bytes of UTF-8 without control characters (U+0000-U+001F, U+007F-U+009F).
bool is_acceptable_key(std::string_view key) noexcept;

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
    // The length of append_entry_json's text for this entry, without writing it.
    std::size_t json_size() const;

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

// How deep a payload read in place (json::PlainReader::canonical_value) may nest: deep
// enough for any payload a gate writes; a deeper one goes to the full reader, which allows
// up to its nesting limit.
inline constexpr std::uint32_t kPlainPayloadDepth = 64;

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

}  // namespace quillfern::gossip
