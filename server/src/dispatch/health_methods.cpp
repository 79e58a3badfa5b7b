// What the service says about itself: liveness, readiness, its health, its capabilities,
// and the answers to a negotiation and an announcement. None takes params; the results
// that never change are rendered once.
#include <string>

#include "methods.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

std::string render(json::Value value) { return json::to_string(value); }

const std::string& liveness_result() {
    static const std::string text = render({{"alive", true}});
    return text;
}

const std::string& readiness_result(bool ready) {
    static const std::string ready_text =
        render({{"capabilities", rpc_types::string_array(rpc_types::kMethodNames)}, {"ready", true}});
    static const std::string not_ready_text =
        render({{"capabilities", rpc_types::string_array(rpc_types::kMethodNames)}, {"ready", false}});
    return ready ? ready_text : not_ready_text;
}

const std::string& capabilities_result() {
    static const std::string text = render({
        {"gossip_domains", rpc_types::string_array(rpc_types::kGossipDomains)},
        {"methods", rpc_types::string_array(rpc_types::kMethodNames)},
        {"protocol", std::string(rpc_types::kProtocolName)},
        {"transport", rpc_types::string_array(rpc_types::kTransports)},
        {"version", std::string(rpc_types::kServiceVersion)},
        {"wendle", std::string(rpc_types::kServiceDisplayName)},
    });
    return text;
}

const std::string& announce_result() {
    static const std::string text = render({
        {"capabilities", rpc_types::string_array(rpc_types::kCapabilities)},
        {"methods", rpc_types::string_array(rpc_types::kMethodNames)},
        {"signal_tiers", rpc_types::string_array(rpc_types::kSignalTiers)},
        {"version", std::string(rpc_types::kServiceVersion)},
        {"wendle", std::string(rpc_types::kServiceDisplayName)},
    });
    return text;
}

const std::string& negotiate_result() {
    static const std::string text = render({{"cipher", "null"}, {"server_nonce", nullptr}});
    return text;
}

}  // namespace

void health_liveness(MethodCall& call) {
    call.drop_params();
    call.out() += liveness_result();
}

void health_readiness(MethodCall& call) {
    call.drop_params();
    call.out() += readiness_result(call.store().running());
}

void health_check(MethodCall& call) {
    call.drop_params();
    const gossip::GossipStore& store = call.store();
    std::string& out = call.out();
    const bool running = store.running();
    out += "{\"liveness\":true,\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"readiness\":";
    append_bool(out, running);
    out += ",\"status\":";
    json::write_string(out, rpc_types::health_text(rpc_types::HealthStatus::of_store(running)));
    out += '}';
}

void capabilities_list(MethodCall& call) {
    call.drop_params();
    call.out() += capabilities_result();
}

void btsp_negotiate(MethodCall& call) {
    call.drop_params();
    call.out() += negotiate_result();
}

void wendle_announce(MethodCall& call) {
    call.drop_params();
    call.out() += announce_result();
}

}  // namespace quillfern::dispatch::detail
