// The two listeners: the main socket, chosen, bound and served until a shutdown signal,
// and the cross-gate listener that peers' batches arrive on.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/runtime.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::server {

inline constexpr std::string_view kServiceName = "quillfern";

// The override if given; else TCP 127.0.0.1:0 when WENDLE_BIND_MODE is exactly
// "tcp_only"; else the Unix socket runtime_dir()/quillfern[-family].sock.
transport::TransportEndpoint choose_endpoint(const std::optional<transport::TransportEndpoint>& override_endpoint,
                                             const std::optional<std::string>& family_id, std::string_view service);

// A failed accept on either listener: a transient error is logged once per episode and
// retried after 50 ms; any other ends the listener.
inline constexpr AcceptRetry kMainAcceptRetry{
    .log_target = log::targets::kServer,
    .warning = "Accept error: {} — retrying",
    .pause = std::chrono::milliseconds(50),
};
inline constexpr AcceptRetry kCrossGateAcceptRetry{
    .log_target = log::targets::kServerRoot,
    .warning = "Cross-gate gossip accept error: {} — retrying",
    .pause = std::chrono::milliseconds(50),
};

struct ServeOptions {
    std::optional<std::string> family_id;
    std::string_view service = kServiceName;
    std::optional<transport::TransportEndpoint> override_endpoint;
    bool negotiate = true;  // false in legacy dual-socket mode: first-byte signals instead
};

// Binds the main socket and serves every connection as its own task on a worker, until
// SIGTERM or SIGINT. Returns the bind or accept error's text on failure.
asio::awaitable<Expected<void, std::string>> serve(ServeOptions options, std::shared_ptr<gossip::GossipStore> store,
                                                   runtime::Runtime& rt);

// Listens on 127.0.0.1:<gossip_port> (address reuse, backlog 128) and serves every
// connection with handle_connection, each as a task of its own on a worker; a failed
// accept as kCrossGateAcceptRetry says. Returns only the error that ends the listener: a
// failed bind, or an accept error that is not transient.
asio::awaitable<Expected<void, IoError>> cross_gate_listener(std::shared_ptr<gossip::GossipStore> store,
                                                             std::uint16_t gossip_port, runtime::Runtime& rt);

// The task start-up spawns: cross_gate_listener, and the error that ended it logged as
// ERROR "Cross-gate gossip listener failed".
asio::awaitable<void> cross_gate_listener_task(std::shared_ptr<gossip::GossipStore> store, std::uint16_t gossip_port,
                                               runtime::Runtime& rt);

}  // namespace quillfern::server
