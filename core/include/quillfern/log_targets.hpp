// The target of every log event the system raises: the path of the module that raises it.
// RUST_LOG directives select events by these names, so each is written here once.
#pragma once

#include <string_view>

namespace quillfern::log::targets {

inline constexpr std::string_view kGossip = "quillfern_core::gossip";
inline constexpr std::string_view kPlatformSignal = "quillfern_core::platform_signal";
inline constexpr std::string_view kProtocolNegotiation = "quillfern_core::protocol_negotiation";
// Start-up, the eviction loop and the cross-gate listener.
inline constexpr std::string_view kServerRoot = "quillfern_server";
// The main listener and its connections.
inline constexpr std::string_view kServer = "quillfern_server::server";
inline constexpr std::string_view kDispatch = "quillfern_server::dispatch";
inline constexpr std::string_view kSpread = "quillfern_server::spread";
inline constexpr std::string_view kAnnounce = "quillfern_server::announce";
inline constexpr std::string_view kTarpcServer = "quillfern_server::tarpc_server";
// The binary RPC protocol's own events (each request, its response, cancels, deadlines),
// under the names its clients' tools filter on ("tarpc=warn").
inline constexpr std::string_view kTarpc = "tarpc::server";
inline constexpr std::string_view kTarpcInFlight = "tarpc::server::in_flight_requests";

}  // namespace quillfern::log::targets
