// The one accept path of every listener: accepts connections, serves each as its own task
// on a worker, and asks the listener's policy what a failed accept means.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <system_error>

#include <asio/awaitable.hpp>

#include "quillfern/runtime.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::server {

// Serves one accepted connection to its end; the stream is its own.
using ConnectionHandler = std::function<asio::awaitable<void>(transport::TransportStream)>;

// Called on every failed accept. `first` is true for the first failure since the last
// accepted connection, so a listener can log once per episode rather than per attempt.
// Gives the pause before the next attempt (zero: at once), or none to stop accepting.
using AcceptErrorPolicy =
    std::function<std::optional<std::chrono::milliseconds>(const std::error_code& error, bool first)>;

// Errors that say something about this moment, not about the listener (out of
// descriptors or memory, a connection aborted before it was taken, an interrupted
// call, ...). Matched by value in the
// system, generic and asio error categories.
bool is_transient_accept_error(const std::error_code& error) noexcept;

// Accepts on `listener` until the policy stops it, and gives the error it stopped on.
// Every accepted stream is close-on-exec and handed to `handler` as a task of its own on
// the next worker; an exception ends that task only. At the descriptor limit a spare
// descriptor is given up for a moment so that the waiting client is accepted and closed
// at once instead of hanging in the backlog. Cancelling the awaiting operation ends it
// with asio::error::operation_aborted.
asio::awaitable<std::error_code> accept_connections(transport::TransportListener& listener, runtime::Runtime& rt,
                                                    ConnectionHandler handler, AcceptErrorPolicy on_error);

}  // namespace quillfern::server
