// Topics, outcomes, payloads and the JSON forms the records are written in.
#include <charconv>

#include "entry_block.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/text.hpp"

namespace quillfern::gossip {

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

std::optional<Topic> parse_topic(std::string_view text) noexcept {
    for (Topic topic : kTopics) {
        if (topic_name(topic) == text) return topic;
    }
    return std::nullopt;
}

std::string_view topic_name(Topic topic) noexcept {
    switch (topic) {
        case Topic::Varne: return "varne";
        case Topic::Data: return "data";
        case Topic::Compute: return "compute";
    }
    return "varne";
}

std::string_view outcome_name(IngestOutcome outcome) noexcept {
    switch (outcome) {
        case IngestOutcome::Accepted: return "Accepted";
        case IngestOutcome::Duplicate: return "Duplicate";
        case IngestOutcome::Expired: return "Expired";
        case IngestOutcome::Rejected: return "Rejected";
        case IngestOutcome::AtCapacity: return "AtCapacity";
    }
    return "Rejected";
}

const std::string& text_of(const SharedText& text) noexcept {
    static const std::string empty;
    return text ? *text : empty;
}

namespace {

// A payload that is not part of an entry's block: its text in a string of its own.
struct OwnedPayload {
    explicit OwnedPayload(std::string canonical) noexcept : text(std::move(canonical)), payload(text, nullptr) {}
    std::string text;
    Payload payload;
};

}  // namespace

SharedPayload share_payload_text(std::string canonical_text) {
    auto owned = std::make_shared<const OwnedPayload>(std::move(canonical_text));
    const Payload* payload = &owned->payload;
    return SharedPayload(std::move(owned), payload);
}

SharedPayload share_payload(const json::Value& payload) { return share_payload_text(json::to_string(payload)); }

json::Value Payload::value() const {
    // The text was written by our writer (or checked to be canonical): it reads back.
    auto value = json::parse(text_);
    return value ? std::move(*value) : json::Value();
}

json::Value payload_of(const SharedPayload& payload) { return payload ? payload->value() : json::Value(); }

std::string_view payload_text(const SharedPayload& payload) noexcept { return payload ? payload->text() : "null"; }

std::size_t GossipEntry::byte_size() const noexcept {
    // Texts shared with other entries (a stored entry's key and payload with its forward
    // copy, the node id) are counted in full for each: the budgets stay on the safe side.
    return sizeof(GossipEntry) + text_of(key).size() + payload_text(payload).size() + text_of(origin_gate).size() +
           nonce.size();
}

std::optional<GossipEntry> GossipEntry::forward_copy() const {
    if (ttl == 0) return std::nullopt;
    GossipEntry copy = clone();
    --copy.ttl;
    return copy;
}

std::shared_ptr<const detail::EntryBlock> GossipEntry::block() const {
    if (const detail::EntryBlock* home = payload ? payload->home() : nullptr; home != nullptr && home->holds(*this)) {
        return std::shared_ptr<const detail::EntryBlock>(payload, home);
    }
    return detail::EntryBlock::make({.topic = topic,
                                     .key = text_of(key),
                                     .origin = origin_gate,
                                     .nonce = nonce,
                                     .payload = payload_text(payload),
                                     .ttl = ttl,
                                     .version = version,
                                     .created_at_epoch = created_at_epoch,
                                     .expires_at_epoch = expires_at_epoch});
}

std::shared_ptr<const detail::EntryBlock> GossipEntry::take_block() && {
    if (const detail::EntryBlock* home = payload ? payload->home() : nullptr; home != nullptr && home->holds(*this)) {
        return std::shared_ptr<const detail::EntryBlock>(std::move(payload), home);
    }
    return block();
}

GossipEntry GossipEntry::of_block(std::shared_ptr<const detail::EntryBlock> block, std::uint8_t ttl) {
    GossipEntry entry;
    entry.topic = block->topic();
    entry.origin_gate = block->origin();
    entry.nonce = block->nonce();
    entry.ttl = ttl;
    entry.version = block->version();
    entry.created_at_epoch = block->created_at_epoch();
    entry.expires_at_epoch = block->expires_at_epoch();
    entry.key = SharedText(block, &block->key());
    const Payload* payload = &block->payload();
    entry.payload = SharedPayload(std::move(block), payload);
    return entry;
}

json::Value GossipEntry::to_json() const {
    json::Value out = json::Value::object();
    out["topic"] = std::string(topic_name(topic));
    out["key"] = text_of(key);
    out["payload"] = payload_of(payload);
    out["origin_gate"] = text_of(origin_gate);
    out["nonce"] = nonce;
    out["ttl"] = static_cast<std::uint64_t>(ttl);
    out["version"] = version;
    out["created_at_epoch"] = created_at_epoch;
    out["expires_at_epoch"] = expires_at_epoch;
    return out;
}

bool GossipEntry::operator==(const GossipEntry& other) const {
    return topic == other.topic && ttl == other.ttl && version == other.version &&
           created_at_epoch == other.created_at_epoch && expires_at_epoch == other.expires_at_epoch &&
           nonce == other.nonce && text_of(key) == text_of(other.key) &&
           text_of(origin_gate) == text_of(other.origin_gate) && payload_text(payload) == payload_text(other.payload);
}

json::Value entries_to_json(std::span<const GossipEntry> entries) {
    json::Value out = json::Value::array();
    for (const GossipEntry& entry : entries) out.push_back(entry.to_json());
    return out;
}

namespace {

void append_number(std::string& out, std::uint64_t n) {
    char digits[24];
    out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

struct EntryTexts {
    std::uint64_t created_at_epoch, expires_at_epoch;
    std::string_view key, nonce, origin, payload;
    Topic topic;
    std::uint8_t ttl;
    std::uint64_t version;
};

void append_json(std::string& out, const EntryTexts& entry) {
    // Members in byte order, as the value's object lists them.
    out += "{\"created_at_epoch\":";
    append_number(out, entry.created_at_epoch);
    out += ",\"expires_at_epoch\":";
    append_number(out, entry.expires_at_epoch);
    out += ",\"key\":";
    json::write_string(out, entry.key);
    out += ",\"nonce\":";
    json::write_string(out, entry.nonce);
    out += ",\"origin_gate\":";
    json::write_string(out, entry.origin);
    out += ",\"payload\":";
    out += entry.payload;
    out += ",\"topic\":\"";
    out += topic_name(entry.topic);
    out += "\",\"ttl\":";
    append_number(out, entry.ttl);
    out += ",\"version\":";
    append_number(out, entry.version);
    out += '}';
}

}  // namespace

void append_entry_json(std::string& out, const GossipEntry& entry) {
    append_json(out, {entry.created_at_epoch, entry.expires_at_epoch, text_of(entry.key), entry.nonce,
                      text_of(entry.origin_gate), payload_text(entry.payload), entry.topic, entry.ttl, entry.version});
}

void append_entry_json(std::string& out, const PendingCopy& copy) {
    const detail::EntryBlock& block = copy.block();
    append_json(out, {block.created_at_epoch(), block.expires_at_epoch(), block.key(), block.nonce(),
                      text_of(block.origin()), block.payload().text(), block.topic(), copy.ttl(), block.version()});
}

void append_entries_json(std::string& out, std::span<const GossipEntry> entries) {
    out += '[';
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) out += ',';
        append_entry_json(out, entries[i]);
    }
    out += ']';
}

json::Value PeerStats::to_json() const {
    json::Value out = json::Value::object();
    out["entries_received"] = entries_received;
    out["entries_sent"] = entries_sent;
    out["last_exchange_epoch"] = last_exchange_epoch;
    out["entries_rejected"] = entries_rejected;
    return out;
}

json::Value peers_to_json(const PeerMap& peers) {
    json::Value out = json::Value::object();
    for (const auto& [peer, stats] : peers) out[peer] = stats.to_json();
    return out;
}

json::Value StoreStats::to_json() const {
    json::Value out = json::Value::object();
    out["varne_entries"] = static_cast<std::uint64_t>(varne_entries);
    out["data_entries"] = static_cast<std::uint64_t>(data_entries);
    out["compute_entries"] = static_cast<std::uint64_t>(compute_entries);
    out["nonce_history_size"] = static_cast<std::uint64_t>(nonce_history_size);
    out["peer_count"] = static_cast<std::uint64_t>(peer_count);
    out["total_ingested"] = total_ingested;
    out["total_evicted"] = total_evicted;
    return out;
}

}  // namespace quillfern::gossip
