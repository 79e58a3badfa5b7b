// The two request lines of the registration task: "wendle.announce" to the quorvel API
// and "ipc.register" to reedHorn. Both are plain lines, without signal bytes.
#include "quillfern/announce.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::announce {

namespace {

constexpr std::string_view kSockSuffix = ".sock";
constexpr std::string_view kTarpcSockSuffix = ".tarpc.sock";

// The hints the announcement gives for its one capability.
constexpr std::uint64_t kGossipCostHint = 1;
constexpr std::uint64_t kGossipLatencyEstimate = 5;

std::string request_line(std::string_view method, json::Value params) {
    const json::Value request = rpc_types::jsonrpc_request(std::uint64_t{1}, method, std::move(params));
    std::string line;
    json::write(line, request);
    line += '\n';
    return line;
}

json::Value one_gossip_member(std::uint64_t value) {
    json::Value object = json::Value::object();
    object["gossip"] = value;
    return object;
}

}  // namespace

std::string tarpc_socket_of(std::string_view socket_path) {
    std::string out;
    out.reserve(socket_path.size() + 6);
    for (;;) {
        const std::size_t at = socket_path.find(kSockSuffix);
        if (at == std::string_view::npos) break;
        out.append(socket_path.substr(0, at));
        out.append(kTarpcSockSuffix);
        socket_path.remove_prefix(at + kSockSuffix.size());
    }
    out.append(socket_path);
    return out;
}

std::string wendle_announce_line(std::string_view service, std::string_view socket_path, std::uint16_t gossip_port,
                                 std::uint32_t pid) {
    json::Value params = json::Value::object();
    params["capabilities"] = rpc_types::string_array(rpc_types::kCapabilities);
    params["cost_hints"] = one_gossip_member(kGossipCostHint);
    params["gossip_port"] = static_cast<std::uint64_t>(gossip_port);
    params["latency_estimates"] = one_gossip_member(kGossipLatencyEstimate);
    params["methods"] = rpc_types::string_array(rpc_types::kMethodNames);
    params["pid"] = static_cast<std::uint64_t>(pid);
    params["protocol"] = std::string(rpc_types::kAnnouncedProtocol);
    params["signal_tiers"] = rpc_types::string_array(rpc_types::kSignalTiers);
    params["socket"] = std::string(socket_path);
    params["tarpc_socket"] = tarpc_socket_of(socket_path);
    params["version"] = std::string(rpc_types::kServiceVersion);
    params["wendle"] = std::string(service);
    return request_line("wendle.announce", std::move(params));
}

std::string ipc_register_line(std::string_view service, const json::Value& endpoint) {
    json::Value params = json::Value::object();
    params["capabilities"] = rpc_types::string_array(rpc_types::kCapabilities);
    params["endpoint"] = endpoint;
    params["version"] = std::string(rpc_types::kServiceVersion);
    params["wendle"] = std::string(service);
    return request_line("ipc.register", std::move(params));
}

}  // namespace quillfern::announce
