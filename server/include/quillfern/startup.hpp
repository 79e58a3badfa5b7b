// Start-up: from the parsed command line to a serving gate.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include <asio/awaitable.hpp>

#include "quillfern/cli.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/gossip.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern {

// Builds and starts the store, starts the background tasks, opens the binary RPC socket
// in legacy dual-socket mode, and serves the main socket until shutdown. The error is the
// message the process prints after "Error: ".
asio::awaitable<Expected<void, std::string>> run(cli::Cli cli, runtime::Runtime& rt);

}  // namespace quillfern

// The background tasks of mesh gossip that start-up owns; the spread loop has a module
// of its own.
namespace quillfern::mesh {

// One tick of the eviction loop: drops the expired entries (logging the total when any
// left), then renews the heartbeat entry.
void eviction_tick(gossip::GossipStore& store, std::uint16_t gossip_port);

// Runs eviction_tick on the fixed schedule of `interval_secs`, the first tick at once,
// for the life of the process.
asio::awaitable<void> eviction_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs,
                                    std::uint16_t gossip_port);

// Listens on 127.0.0.1:<gossip_port> (address reuse, backlog 128) and serves every
// connection with server::handle_connection, each as a task of its own on a worker. A
// transient accept error is logged once per episode as WARN and the accept retried
// after 50 ms. Returns only the error that ends the listener: a failed bind, or an
// accept error that is not transient.
asio::awaitable<Expected<void, IoError>> cross_gate_listener(std::shared_ptr<gossip::GossipStore> store,
                                                             std::uint16_t gossip_port, runtime::Runtime& rt);

// The task start-up spawns: cross_gate_listener, and the error that ended it logged as
// ERROR "Cross-gate gossip listener failed".
asio::awaitable<void> cross_gate_listener_task(std::shared_ptr<gossip::GossipStore> store, std::uint16_t gossip_port,
                                               runtime::Runtime& rt);

}  // namespace quillfern::mesh
