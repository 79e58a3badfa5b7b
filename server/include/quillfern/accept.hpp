// The one accept path of every listener: accepts connections, serves each as its own task
// on a worker, and asks the listener's policy what a failed accept means.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string_view>
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

// How a listener meets a failed accept. The first failure of an episode is logged as WARN
// `warning` ("{}" takes the error's text) under `log_target`, and the accept is tried
// again after `pause`; with `at_once_for_one_call`, at once for an error of one
// connection or one call (a connection aborted before it was taken, an interrupted call,
// nothing to take yet). An error that is not transient ends accepting, unlogged, unless
// `retry_lasting_errors` is set.
struct AcceptRetry {
    std::string_view log_target;
    std::string_view warning;
    std::chrono::milliseconds pause;
    bool retry_lasting_errors = false;
    bool at_once_for_one_call = false;
};

// The policy that does what `retry` says, for accept_connections.
AcceptErrorPolicy retry_policy(AcceptRetry retry);

// Accepts on `listener` until the policy stops it, and gives the error it stopped on.
// Every accepted stream is close-on-exec and handed to `handler` as a task of its own on
// the next worker; an exception that escapes the handler ends that task only and is
// reported on standard error (runtime::report_task_failure). At the descriptor limit a spare
// descriptor is given up for a moment so that the waiting clients are accepted and
// closed at once instead of hanging in the backlog. Cancelling the awaiting operation ends it
// with asio::error::operation_aborted.
asio::awaitable<std::error_code> accept_connections(transport::TransportListener& listener, runtime::Runtime& rt,
                                                    ConnectionHandler handler, AcceptErrorPolicy on_error);

}  // namespace quillfern::server
