// "gossip.inject": a local entry into the store, its params read straight from the text
// and its payload kept as the canonical text the store holds, never built.
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "methods.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

// What gossip.inject takes from its params: a topic or key that is absent or not a string
// is none; an absent payload is none. A repeated member: the last one counts.
struct InjectParams {
    std::optional<std::string> topic;
    std::optional<std::string> key;
    gossip::SharedPayload payload;  // null when absent
};

InjectParams read_inject_params(json::Reader& reader) {
    InjectParams params;
    rpc_types::read_params_members(reader, [&](std::string_view key) {
        if (key == "payload") {
            std::string payload;
            if (reader.read_canonical(payload, 2)) params.payload = gossip::share_payload_text(std::move(payload));
            return true;
        }
        std::optional<std::string>* text = key == "topic" ? &params.topic : key == "key" ? &params.key : nullptr;
        if (text != nullptr) *text = rpc_types::read_string_member(reader, 2);
        return text != nullptr;
    });
    return params;
}

const std::string& missing_key_result() {
    static const std::string text = param_error_result(rpc_types::kMissingKeyError);
    return text;
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
    static const gossip::SharedPayload empty_object = gossip::share_payload_text("{}");
    gossip::SharedPayload payload = params.payload ? std::move(params.payload) : empty_object;
    gossip::GossipStore& store = call.store();
    const gossip::IngestOutcome outcome = store.inject_payload(*topic, std::move(*params.key), std::move(payload));
    out += "{\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"result\":\"";
    out += gossip::outcome_name(outcome);
    out += "\"}";
}

}  // namespace quillfern::dispatch::detail
