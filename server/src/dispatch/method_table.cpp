#include <array>

#include "methods.hpp"

namespace quillfern::dispatch::detail {

namespace {

// "capability.list" is answered as an alias of "capabilities.list" but not advertised.
const std::array<Method, 13> METHODS{{
    {"health.liveness", health_liveness},
    {"health.readiness", health_readiness},
    {"health.check", health_check},
    {"capabilities.list", capabilities_list},
    {"capability.list", capabilities_list},
    {"btsp.negotiate", btsp_negotiate},
    {"wendle.announce", wendle_announce},
    {"gossip.spread", gossip_spread},
    {"gossip.inject", gossip_inject},
    {"gossip.query", gossip_query},
    {"gossip.status", gossip_status},
    {"gossip.peers", gossip_peers},
    {"gossip.subscribe", gossip_subscribe},
}};

}  // namespace

const Method* find_method(std::string_view name) noexcept {
    for (const Method& method : METHODS) {
        if (method.name == name) return &method;
    }
    return nullptr;
}

}  // namespace quillfern::dispatch::detail
