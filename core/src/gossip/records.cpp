// Topics, outcomes and the JSON forms the records are written in.
#include "quillfern/gossip.hpp"

namespace quillfern::gossip {

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

const json::Value& payload_of(const SharedPayload& payload) noexcept {
    static const json::Value null_payload;
    return payload ? *payload : null_payload;
}

std::optional<GossipEntry> GossipEntry::forward_copy() const {
    if (ttl == 0) return std::nullopt;
    GossipEntry copy = clone();
    --copy.ttl;
    return copy;
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
           text_of(origin_gate) == text_of(other.origin_gate) && payload_of(payload) == payload_of(other.payload);
}

json::Value entries_to_json(std::span<const GossipEntry> entries) {
    json::Value out = json::Value::array();
    for (const GossipEntry& entry : entries) out.push_back(entry.to_json());
    return out;
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
