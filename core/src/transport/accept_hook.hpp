// Accepting on a bound TransportListener without the server's accept loop (which takes
// its connections itself): the transport's tests take their server side this way.
#pragma once

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::transport {

// Accepts the next connection (close-on-exec, non-blocking). Cancellable while it waits.
asio::awaitable<Expected<TransportStream, IoError>> accept(TransportListener& listener);

}  // namespace quillfern::transport
