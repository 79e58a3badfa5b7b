// The main listener: chooses, binds and serves the main socket until a shutdown signal.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/gossip.hpp"
#include "quillfern/runtime.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::server {

inline constexpr std::string_view kServiceName = "quillfern";

// The override if given; else TCP 127.0.0.1:0 when WENDLE_BIND_MODE is exactly
// "tcp_only"; else the Unix socket runtime_dir()/quillfern[-family].sock.
transport::TransportEndpoint choose_endpoint(const std::optional<transport::TransportEndpoint>& override_endpoint,
                                             const std::optional<std::string>& family_id, std::string_view service);

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

}  // namespace quillfern::server
