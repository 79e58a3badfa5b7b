// The shutdown wait: SIGTERM or SIGINT, delivered as an awaitable event.
#pragma once

#include <memory>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

namespace quillfern::platform_signal {

// Owns the process's SIGTERM and SIGINT handlers from construction on, so that no
// signal is lost or takes its default action while the server runs: a signal that
// arrives while nobody waits is kept and ends the next wait at once.
class ShutdownSignals {
public:
    // Registers both handlers; a failure is fatal ("failed to register SIGTERM handler: ...").
    explicit ShutdownSignals(const asio::any_io_executor& executor);
    ~ShutdownSignals();
    ShutdownSignals(const ShutdownSignals&) = delete;
    ShutdownSignals& operator=(const ShutdownSignals&) = delete;

    // Finishes when SIGTERM or SIGINT has been received and logs
    // "shutdown signal received" with the field signal=SIGTERM or SIGINT.
    asio::awaitable<void> wait_for_shutdown();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace quillfern::platform_signal
