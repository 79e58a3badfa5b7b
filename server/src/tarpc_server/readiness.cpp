// The waits of one binary RPC connection: readiness of its socket, its deadline timer and
// its wake-up channel.
#include "readiness.hpp"

#include <utility>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

namespace quillfern::tarpc_server::detail {

Readiness::Readiness(transport::TransportStream& socket)
    : socket_(socket), deadline_timer_(socket.get_executor()), wakeups_(socket.get_executor(), 1) {}

std::optional<std::error_code> Readiness::take_read_outcome() noexcept {
    return std::exchange(read_outcome_, std::nullopt);
}

void Readiness::wake() noexcept { wakeups_.try_send(asio::error_code{}, 0); }

void Readiness::arm_read_wait(std::shared_ptr<void> owner) {
    if (read_armed_) return;
    read_armed_ = true;
    socket_.async_wait(asio::socket_base::wait_read, [this, owner = std::move(owner)](const std::error_code&) {
        read_armed_ = false;
        maybe_readable_ = true;
        wake();
    });
}

void Readiness::arm_write_wait(std::shared_ptr<void> owner) {
    if (write_armed_) return;
    write_armed_ = true;
    socket_.async_wait(asio::socket_base::wait_write, [this, owner = std::move(owner)](const std::error_code&) {
        write_armed_ = false;
        maybe_writable_ = true;
        wake();
    });
}

void Readiness::set_deadline(Clock::time_point due, std::shared_ptr<void> owner) {
    timer_at_ = due;
    deadline_timer_.expires_at(due);
    deadline_timer_.async_wait([this, owner = std::move(owner)](const std::error_code& ec) {
        if (ec == asio::error::operation_aborted) return;
        timer_at_.reset();
        wake();
        std::error_code ignored;
        if (waiting_on_socket_) socket_.cancel(ignored);
    });
}

asio::awaitable<void> Readiness::wait(Wants wants, tarpc_service::FrameReader& reader, std::shared_ptr<void> owner) {
    const bool want_read = wants.read && !maybe_readable_;
    const bool want_write = wants.write && !maybe_writable_;
    std::error_code ec;
    if (want_read && !want_write && !read_armed_ && !write_armed_ && !wants.other_work) {
        const std::span<std::uint8_t> room = reader.prepare();
        waiting_on_socket_ = true;
        const std::size_t n = co_await socket_.async_read_some(asio::buffer(room.data(), room.size()),
                                                               asio::redirect_error(asio::use_awaitable, ec));
        waiting_on_socket_ = false;
        if (ec == asio::error::operation_aborted) co_return;  // a deadline is due
        if (ec) {
            read_outcome_ = ec;
            co_return;
        }
        reader.commit(n);
        maybe_readable_ = n == room.size();
        co_return;
    }
    if (want_read) arm_read_wait(owner);
    if (want_write) arm_write_wait(std::move(owner));
    co_await wakeups_.async_receive(asio::redirect_error(asio::use_awaitable, ec));
}

void Readiness::cancel() noexcept { deadline_timer_.cancel(); }

}  // namespace quillfern::tarpc_server::detail
