// The binary RPC service's side of the main socket.
#pragma once

#include <asio/awaitable.hpp>

#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server {

// A main-socket connection that negotiated tarpc: tarpc cannot be served on a single
// socket yet, so this logs a warning and closes the stream without reading or writing.
asio::awaitable<void> handle_tarpc_connection(transport::TransportStream stream);

}  // namespace quillfern::tarpc_server
