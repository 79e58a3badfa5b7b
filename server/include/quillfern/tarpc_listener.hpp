// The legacy binary RPC socket: set up at start-up in legacy dual-socket mode.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/gossip.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern::tarpc_server {

// Binds socket_dir()/quillfern[-family].tarpc.sock (directories created, a stale socket
// file removed), logs "tarpc listening on unix://<path>" and starts the accept loop.
asio::awaitable<Expected<void, IoError>> start_tarpc_listener(const std::optional<std::string>& family_id,
                                                              std::string_view service,
                                                              std::shared_ptr<gossip::GossipStore> store,
                                                              runtime::Runtime& rt);

}  // namespace quillfern::tarpc_server
