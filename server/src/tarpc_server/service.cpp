// QuillFernService's nine operations on the shared store, each with its exact reply.
#include <array>
#include <cstddef>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include <fmt/format.h>

#include "quillfern/json.hpp"
#include "quillfern/rpc_types.hpp"
#include "quillfern/tarpc_server.hpp"

namespace quillfern::tarpc_server {

namespace {

using tarpc_service::Context;
using tarpc_service::QuillFernServiceRequest;
using Reply = tarpc_service::QuillFernServiceResponse;

constexpr std::string_view kInvalidTopic = R"({"error":"invalid topic"})";
constexpr std::size_t kUnlimited = std::numeric_limits<std::size_t>::max();
constexpr std::string_view kSnapshotMode = ",\"mode\":\"snapshot\",\"subscriber_count\":";

// {"result":"<the outcome's name>"}, in one allocation.
std::string result_reply(gossip::IngestOutcome outcome) {
    const std::string_view name = gossip::outcome_name(outcome);
    std::string reply;
    reply.reserve(14 + name.size());
    reply += R"({"result":")";
    reply += name;
    reply += R"("})";
    return reply;
}

// The canonical text of the one JSON value in `payload`, or "null" when it holds none. It
// is read straight from the payload: no value is built, whatever the text would make of
// one. Canonical text is seldom longer than the payload, so one allocation mostly does.
std::string canonical_payload(std::string_view payload) {
    try {
        std::string out;
        out.reserve(payload.size());
        json::Reader reader(payload);
        if (reader.read_canonical(out, 0)) reader.finish();
        if (!reader.failed()) return out;
    } catch (const std::bad_alloc&) {
        // No memory for the text: stored as null, like any payload that can't be read.
    }
    return "null";
}

// Room for {"count":N,"entries":[...]} and `extra` bytes more: every text of every entry
// and its member names, so that a reply of many MiB is written into one allocation of
// about its size (texts that need escapes may make it grow once).
std::size_t reply_room(const std::vector<gossip::GossipEntry>& entries, std::size_t extra) {
    constexpr std::size_t kEntryFrame = 200;  // member names, numbers, quotes and commas
    std::size_t room = 32 + extra;
    for (const gossip::GossipEntry& entry : entries) {
        room += kEntryFrame + gossip::text_of(entry.key).size() + entry.nonce.size() +
                gossip::text_of(entry.origin_gate).size() + gossip::payload_text(entry.payload).size();
    }
    return room;
}

// {"count":N,"entries":[...] and the closing brace left to the caller. Each entry is
// written with its payload's stored text: no JSON value is built.
void append_entries(std::string& out, const std::vector<gossip::GossipEntry>& entries) {
    out += "{\"count\":";
    out += fmt::format_int(entries.size()).c_str();
    out += ",\"entries\":";
    gossip::append_entries_json(out, entries);
}

// Whether {"count":N,"entries":[...]}, with `extra` bytes before its closing brace, would
// be longer than `longest_text`. Counted exactly only when it may be: a text that needs
// escapes takes at most six times its length, so below that reply_room tells.
bool longer_than(const std::vector<gossip::GossipEntry>& entries, std::size_t extra, std::size_t longest_text) {
    if (longest_text == kUnlimited || reply_room(entries, extra) <= longest_text / 8) return false;
    std::size_t size =
        std::string_view(R"({"count":,"entries":[]})").size() + fmt::format_int(entries.size()).size() + extra;
    if (!entries.empty()) size += entries.size() - 1;  // the commas
    for (const gossip::GossipEntry& entry : entries) {
        size += entry.json_size();
        if (size > longest_text) return true;
    }
    return size > longest_text;
}

std::optional<std::string_view> view_of(const std::optional<std::string>& text) {
    if (text) return std::string_view(*text);
    return std::nullopt;
}

using Handler = QuillFernTarpcServer;
using Arguments = QuillFernServiceRequest::Variant;

// The operation a request names, at its variant index: it runs the operation with the
// request's arguments and gives its result in the reply of the same variant.
// A query's or subscribe's text is left empty when it would be longer than `longest_text`.
using Operation = Reply (*)(const Handler& handler, const Context& context, Arguments& arguments,
                            std::size_t longest_text);

constexpr std::array<Operation, std::variant_size_v<Arguments>> kOperations{{
    [](const Handler& handler, const Context& context, Arguments&, std::size_t) -> Reply {
        return Reply{Reply::HealthLiveness{handler.health_liveness(context)}};
    },
    [](const Handler& handler, const Context& context, Arguments&, std::size_t) -> Reply {
        return Reply{Reply::HealthReadiness{handler.health_readiness(context)}};
    },
    [](const Handler& handler, const Context& context, Arguments&, std::size_t) -> Reply {
        return Reply{Reply::HealthCheck{handler.health_check(context)}};
    },
    [](const Handler& handler, const Context& context, Arguments&, std::size_t) -> Reply {
        return Reply{Reply::CapabilitiesList{handler.capabilities_list(context)}};
    },
    [](const Handler& handler, const Context& context, Arguments& arguments, std::size_t) -> Reply {
        auto& inject = std::get<QuillFernServiceRequest::GossipInject>(arguments);
        return Reply{
            Reply::GossipInject{handler.gossip_inject(context, inject.topic, std::move(inject.key), inject.payload)}};
    },
    [](const Handler& handler, const Context& context, Arguments& arguments, std::size_t longest_text) -> Reply {
        const auto& query = std::get<QuillFernServiceRequest::GossipQuery>(arguments);
        return Reply{Reply::GossipQuery{
            handler.gossip_query(context, query.topic, view_of(query.key_prefix), longest_text).value_or("")}};
    },
    [](const Handler& handler, const Context& context, Arguments&, std::size_t) -> Reply {
        return Reply{Reply::GossipStatus{handler.gossip_status(context)}};
    },
    [](const Handler& handler, const Context& context, Arguments&, std::size_t) -> Reply {
        return Reply{Reply::GossipPeers{handler.gossip_peers(context)}};
    },
    [](const Handler& handler, const Context& context, Arguments& arguments, std::size_t longest_text) -> Reply {
        const auto& subscribe = std::get<QuillFernServiceRequest::GossipSubscribe>(arguments);
        return Reply{Reply::GossipSubscribe{
            handler.gossip_subscribe(context, subscribe.topic, view_of(subscribe.key_prefix), longest_text)
                .value_or("")}};
    },
}};

}  // namespace

bool QuillFernTarpcServer::health_liveness(const Context&) const { return store_->running(); }

bool QuillFernTarpcServer::health_readiness(const Context&) const { return store_->running(); }

tarpc_service::HealthReport QuillFernTarpcServer::health_check(const Context&) const {
    const rpc_types::HealthStatus status = rpc_types::HealthStatus::of_store(store_->running());
    return {std::string(rpc_types::health_text(status)), std::string(rpc_types::kServiceDisplayName),
            std::string(rpc_types::kServiceVersion)};
}

tarpc_service::CapabilityList QuillFernTarpcServer::capabilities_list(const Context&) const {
    tarpc_service::CapabilityList list{
        std::string(rpc_types::kServiceDisplayName), std::string(rpc_types::kServiceVersion), {}};
    list.methods.assign(rpc_types::kMethodNames.begin(), rpc_types::kMethodNames.end());
    return list;
}

std::string QuillFernTarpcServer::gossip_inject(const Context&, std::string_view topic, std::string key,
                                                std::string_view payload) const {
    const std::optional<gossip::Topic> resolved = gossip::parse_topic(topic);
    if (!resolved) return std::string(kInvalidTopic);
    // A payload already in canonical form is stored as it stands.
    json::PlainReader plain(payload);
    const std::string_view canonical = plain.canonical_value(gossip::kPlainPayloadDepth);
    const gossip::IngestOutcome outcome =
        !plain.declined() && plain.at_end()
            ? store_->inject_payload(*resolved, std::move(key), canonical)
            : store_->inject_payload(*resolved, std::move(key), canonical_payload(payload));
    return result_reply(outcome);
}

std::string QuillFernTarpcServer::gossip_query(const Context& context, std::string_view topic,
                                               std::optional<std::string_view> key_prefix) const {
    return *gossip_query(context, topic, key_prefix, kUnlimited);
}

std::optional<std::string> QuillFernTarpcServer::gossip_query(const Context&, std::string_view topic,
                                                              std::optional<std::string_view> key_prefix,
                                                              std::size_t longest_text) const {
    const std::optional<gossip::Topic> resolved = gossip::parse_topic(topic);
    if (!resolved) return std::string(kInvalidTopic);
    const std::vector<gossip::GossipEntry> entries = store_->query(*resolved, key_prefix);
    if (longer_than(entries, 0, longest_text)) return std::nullopt;
    std::string out;
    out.reserve(reply_room(entries, 0));
    append_entries(out, entries);
    out += '}';
    return out;
}

std::string QuillFernTarpcServer::gossip_status(const Context&) const {
    return json::to_string(store_->stats().to_json());
}

std::string QuillFernTarpcServer::gossip_peers(const Context&) const {
    const gossip::PeerMap peers = store_->peer_stats();
    std::string out = "{\"node_id\":";
    json::write_string(out, store_->node_id());
    out += ",\"peers\":";
    json::write(out, gossip::peers_to_json(peers));
    out += '}';
    return out;
}

std::string QuillFernTarpcServer::gossip_subscribe(const Context& context, std::string_view topic,
                                                   std::optional<std::string_view> key_prefix) const {
    return *gossip_subscribe(context, topic, key_prefix, kUnlimited);
}

std::optional<std::string> QuillFernTarpcServer::gossip_subscribe(const Context&, std::string_view topic,
                                                                  std::optional<std::string_view> key_prefix,
                                                                  std::size_t longest_text) const {
    const std::optional<gossip::Topic> resolved = gossip::parse_topic(topic);
    if (!resolved) return std::string(kInvalidTopic);
    const std::vector<gossip::GossipEntry> entries = store_->query(*resolved, key_prefix);
    // A snapshot: nothing is registered, the count is read after the query.
    const fmt::format_int subscribers(store_->subscriber_count());
    if (longer_than(entries, kSnapshotMode.size() + subscribers.size(), longest_text)) return std::nullopt;
    std::string out;
    out.reserve(reply_room(entries, 64));
    append_entries(out, entries);
    out += kSnapshotMode;
    out += subscribers.c_str();
    out += '}';
    return out;
}

Reply QuillFernTarpcServer::serve(const Context& context, QuillFernServiceRequest request) const {
    return serve(context, std::move(request), kUnlimited);
}

Reply QuillFernTarpcServer::serve(const Context& context, QuillFernServiceRequest request,
                                  std::size_t longest_text) const {
    return kOperations[request.index()](*this, context, request.value, longest_text);
}

bool QuillFernTarpcServer::left_unbuilt(const Reply& reply) noexcept {
    if (const auto* query = std::get_if<Reply::GossipQuery>(&reply.value)) return query->json.empty();
    if (const auto* subscribe = std::get_if<Reply::GossipSubscribe>(&reply.value)) return subscribe->json.empty();
    return false;
}

}  // namespace quillfern::tarpc_server
