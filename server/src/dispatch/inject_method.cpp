// "gossip.inject": a local entry into the store, its params read straight from the text
// and its payload kept as the canonical text the store holds, never built. A request in
// its plain form is read in one pass, its params in place.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "methods.hpp"
#include "quillfern/rpc_types.hpp"
#include "reply_writer.hpp"

namespace quillfern::dispatch::detail {

namespace {

// What gossip.inject takes from its params: a topic or key that is absent or not a string
// is none; an absent payload is none. A repeated member: the last one counts.
struct InjectParams {
    std::optional<std::string> topic;
    std::optional<std::string> key;
    std::optional<std::string> payload;  // canonical text; none when absent
};

InjectParams read_inject_params(json::Reader& reader) {
    InjectParams params;
    rpc_types::read_params_members(reader, [&](std::string_view key) {
        if (key == "payload") {
            std::string payload;
            if (reader.read_canonical(payload, 2)) params.payload = std::move(payload);
            return true;
        }
        std::optional<std::string>* text = key == "topic" ? &params.topic : key == "key" ? &params.key : nullptr;
        if (text != nullptr) *text = rpc_types::read_string_member(reader, 2);
        return text != nullptr;
    });
    return params;
}

// The plain form of the params: "topic" and "key" strings and an optional "payload" whose
// text is already canonical, each once, nothing else. None when they are not plain.
struct PlainInjectParams {
    gossip::Topic topic;
    std::string_view key;
    std::string_view payload;  // "{}" when absent
};

std::optional<PlainInjectParams> read_plain_inject_params(json::PlainReader& reader) {
    std::optional<std::string_view> topic, key, payload;
    if (!reader.take('{')) return std::nullopt;
    do {
        const std::string_view name = reader.name();
        std::optional<std::string_view>* member = name == "topic"     ? &topic
                                                  : name == "key"     ? &key
                                                  : name == "payload" ? &payload
                                                                      : nullptr;
        if (reader.declined() || member == nullptr || member->has_value()) return std::nullopt;
        *member = member == &payload ? reader.canonical_value(gossip::kPlainPayloadDepth) : reader.string();
    } while (!reader.declined() && reader.take_if(','));
    if (!reader.take('}') || !topic || !key) return std::nullopt;
    const std::optional<gossip::Topic> known = gossip::parse_topic(*topic);
    if (!known) return std::nullopt;
    return PlainInjectParams{*known, *key, payload.value_or("{}")};
}

const std::string& missing_key_result() {
    static const std::string text = param_error_result(rpc_types::kMissingKeyError);
    return text;
}

void inject_and_write(gossip::GossipStore& store, gossip::Topic topic, std::string key, std::string_view payload,
                      std::string& out) {
    const gossip::IngestOutcome outcome = store.inject_payload(topic, std::move(key), payload);
    out += "{\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"result\":\"";
    out += gossip::outcome_name(outcome);
    out += "\"}";
}

}  // namespace

void gossip_inject(MethodCall& call) {
    InjectParams params = call.read_params(read_inject_params);
    std::string& out = call.out();
    std::optional<gossip::Topic> topic = params.topic ? gossip::parse_topic(*params.topic) : std::nullopt;
    if (!topic) {
        out += invalid_topic_result();
        return;
    }
    if (!params.key) {
        out += missing_key_result();
        return;
    }
    inject_and_write(call.store(), *topic, std::move(*params.key),
                     params.payload ? std::string_view(*params.payload) : std::string_view("{}"), out);
}

bool gossip_inject_plain(PlainRequest& request, gossip::GossipStore& store, ReplyWriter& reply) {
    const std::optional<PlainInjectParams> params = read_plain_inject_params(request.params());
    if (!params || !request.finish()) return false;
    reply.begin_success(request.id());
    inject_and_write(store, params->topic, std::string(params->key), params->payload, reply.out());
    reply.end_success();
    return true;
}

}  // namespace quillfern::dispatch::detail
