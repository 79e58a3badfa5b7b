// The heartbeat entry and the announcements of this gate to its sibling services.
//
// These belong to the mesh gossip module, which is not part of this program yet: the
// calls stand where start-up and the main listener make them, and do nothing until the
// mesh module fills them in.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "quillfern/gossip.hpp"
#include "quillfern/json.hpp"

namespace quillfern::announce {

// Injects the "endpoint.alive:<node id>" heartbeat entry into topic "varne".
asio::awaitable<void> inject_endpoint_alive(gossip::GossipStore& store, std::uint16_t gossip_port);

// Announces the service to the quorvel API, then registers it with reedHorn.
asio::awaitable<void> register_with_reedhorn(std::string service, std::string socket_path, std::string family,
                                             std::string service_again, json::Value endpoint);

}  // namespace quillfern::announce

namespace quillfern::mesh {

// The three background tasks of start-up, each detached: the eviction loop, the
// spread loop and the cross-gate listener.
asio::awaitable<void> eviction_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs,
                                    std::uint16_t gossip_port);
asio::awaitable<void> spread_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs);
asio::awaitable<void> cross_gate_listener(std::shared_ptr<gossip::GossipStore> store, std::uint16_t gossip_port);

}  // namespace quillfern::mesh
