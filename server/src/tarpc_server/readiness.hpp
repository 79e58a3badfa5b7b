// What one binary RPC connection waits for between the steps of its request stream: its
// socket becoming readable or writable, its earliest deadline, or a wake-up.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <system_error>

#include <asio/awaitable.hpp>
#include <asio/experimental/channel.hpp>
#include <asio/steady_timer.hpp>

#include "quillfern/tarpc_service.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server::detail {

// The socket's readiness as the stream's non-blocking calls last found it, and the waits
// that renew it. The socket belongs to the connection, which outlives this; every wait
// keeps the connection (`owner`) alive until it completes. Used by the connection's own
// thread only.
class Readiness {
public:
    using Clock = std::chrono::steady_clock;

    explicit Readiness(transport::TransportStream& socket);
    Readiness(const Readiness&) = delete;
    Readiness& operator=(const Readiness&) = delete;

    // Whether a read or a write may find the socket ready: false from the call that found
    // it drained or full until a wait has seen it ready again.
    bool maybe_readable() const noexcept { return maybe_readable_; }
    bool maybe_writable() const noexcept { return maybe_writable_; }
    void drained() noexcept { maybe_readable_ = false; }
    void full() noexcept { maybe_writable_ = false; }
    // What a read made while waiting found instead of bytes (the end of input or an
    // error), taken once.
    std::optional<std::error_code> take_read_outcome() noexcept;

    // Ends a wait for a wake-up under way, or the next one (a wait that reads the socket
    // itself is not ended by it: the connection waits that way only when nothing else is
    // queued for it).
    void wake() noexcept;
    // Whether the deadline timer is due at `due` or before it (or there is no deadline):
    // the timer is moved only for an earlier deadline.
    bool deadline_covers(std::optional<Clock::time_point> due) const noexcept {
        return !due || (timer_at_ && *timer_at_ <= *due);
    }
    // Sets the deadline timer for `due`. A timer that fires early (its request already
    // gone) is set again for the next deadline by the connection.
    void set_deadline(Clock::time_point due, std::shared_ptr<void> owner);

    // What the stream can use next.
    struct Wants {
        bool read = false;        // more frames: the input has not ended and reading is not paused
        bool write = false;       // room for the outgoing bytes not yet written
        bool other_work = false;  // something besides the socket has been queued for the stream
    };
    // Waits until the stream may make progress: the socket ready for what it wants, the
    // timer due, or a wake-up. The usual wait, for the client's next bytes alone, suspends
    // on a read of the socket itself into `reader` (an expiring deadline interrupts it):
    // once the reactor has seen the socket drained, that read is queued without a system
    // call.
    asio::awaitable<void> wait(Wants wants, tarpc_service::FrameReader& reader, std::shared_ptr<void> owner);

    // Stops the timer; the socket's waits end with its closing.
    void cancel() noexcept;

private:
    void arm_read_wait(std::shared_ptr<void> owner);
    void arm_write_wait(std::shared_ptr<void> owner);

    transport::TransportStream& socket_;
    bool maybe_readable_ = true;
    bool maybe_writable_ = true;
    bool read_armed_ = false;
    bool write_armed_ = false;
    bool waiting_on_socket_ = false;  // suspended in a read of the socket
    std::optional<std::error_code> read_outcome_;
    std::optional<Clock::time_point> timer_at_;
    asio::steady_timer deadline_timer_;
    asio::experimental::channel<void(asio::error_code, int)> wakeups_;
};

}  // namespace quillfern::tarpc_server::detail
