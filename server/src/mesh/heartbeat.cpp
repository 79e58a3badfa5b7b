// The heartbeat entry: "endpoint.alive:<node id>" in topic "varne", saying that this
// gate is alive and where its gossip port is.
#include <unistd.h>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::mesh {

json::Value endpoint_alive_payload(std::string_view node_id, std::uint16_t gossip_port, std::uint32_t pid) {
    json::Value payload = json::Value::object();
    payload["capabilities"] = rpc_types::string_array(rpc_types::kCapabilities);
    payload["gate"] = std::string(node_id);
    payload["gossip_port"] = static_cast<std::uint64_t>(gossip_port);
    payload["pid"] = static_cast<std::uint64_t>(pid);
    payload["protocol"] = std::string(rpc_types::kAnnouncedProtocol);
    payload["version"] = std::string(rpc_types::kServiceVersion);
    return payload;
}

void inject_endpoint_alive(gossip::GossipStore& store, std::uint16_t gossip_port) {
    const std::string& node_id = store.node_id();
    std::string key(kEndpointAlivePrefix);
    key += node_id;
    const auto pid = static_cast<std::uint32_t>(::getpid());
    const gossip::IngestOutcome outcome =
        store.inject(gossip::Topic::Varne, std::move(key), endpoint_alive_payload(node_id, gossip_port, pid));
    switch (outcome) {
        case gossip::IngestOutcome::Accepted:
            QF_LOG(log::Level::Info, log::targets::kAnnounce, "Injected endpoint.alive gossip entry",
                   log::text("gate", node_id));
            break;
        case gossip::IngestOutcome::Duplicate: break;  // renewed within the same second: the stored heartbeat stays
        default:
            QF_LOG(log::Level::Warn, log::targets::kAnnounce, "endpoint.alive injection unexpected result",
                   log::text("gate", node_id), log::variant("result", gossip::outcome_name(outcome)));
            break;
    }
}

}  // namespace quillfern::mesh
