#include <array>
#include <cstddef>

#include "methods.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

using rpc_types::kMethodNames;

// The answer of each advertised method, in the order of kMethodNames, which names them.
const std::array<std::variant<AnswerNow, AnswerLater>, kMethodNames.size()> ANSWERS{{
    health_liveness,
    health_readiness,
    health_check,
    capabilities_list,
    btsp_negotiate,
    wendle_announce,
    gossip_spread,
    gossip_inject,
    gossip_query,
    gossip_status,
    gossip_peers,
    gossip_subscribe,
}};

// Answered like "capabilities.list", but not advertised.
constexpr std::string_view kCapabilitiesAlias = "capability.list";

struct MethodTable {
    std::array<Method, kMethodNames.size() + 1> methods;

    MethodTable() {
        for (std::size_t i = 0; i < kMethodNames.size(); ++i) methods[i] = {kMethodNames[i], ANSWERS[i]};
        methods.back() = {kCapabilitiesAlias, capabilities_list};
    }
};

const MethodTable METHODS;

}  // namespace

const Method* find_method(std::string_view name) noexcept {
    for (const Method& method : METHODS.methods) {
        if (method.name == name) return &method;
    }
    return nullptr;
}

}  // namespace quillfern::dispatch::detail
