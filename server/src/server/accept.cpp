#include "quillfern/accept.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include <asio/co_spawn.hpp>
#include <asio/error.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

namespace quillfern::server {

namespace {

bool is_errno_category(const std::error_code& error) noexcept {
    return error.category() == std::system_category() || error.category() == std::generic_category() ||
           error.category() == asio::error::get_system_category();
}

bool is_descriptor_exhaustion(const std::error_code& error) noexcept {
    return is_errno_category(error) && (error.value() == EMFILE || error.value() == ENFILE);
}

// One descriptor held in reserve. At the descriptor limit it is closed for a moment, the
// waiting connection is accepted into its place and closed, and it is taken again.
class SpareDescriptor {
public:
    SpareDescriptor() : fd_(open_spare()) {}
    ~SpareDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    void shed_one(int listening_fd) noexcept {
        if (fd_ >= 0) ::close(fd_);
        // The listener is non-blocking for the reactor already; say so for this call too,
        // so that a connection taken by someone else never blocks the thread.
        const int flags = ::fcntl(listening_fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(listening_fd, F_SETFL, flags | O_NONBLOCK);
        const int taken = ::accept4(listening_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (taken >= 0) ::close(taken);
        fd_ = open_spare();
    }

private:
    static int open_spare() noexcept { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
    int fd_;
};

asio::awaitable<void> connection_task(ConnectionHandler handler, transport::TransportStream stream) {
    try {
        co_await handler(std::move(stream));
    } catch (...) {
        // A failure ends this connection only.
    }
}

}  // namespace

bool is_transient_accept_error(const std::error_code& error) noexcept {
    if (!is_errno_category(error)) return false;
    switch (error.value()) {
        case ECONNABORTED: case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: case EPROTO: case EINTR:
        case EAGAIN: case ENETDOWN: case EHOSTUNREACH: case ENETUNREACH: case ETIMEDOUT: case EPERM:
            return true;
        default:
            return false;
    }
}

asio::awaitable<std::error_code> accept_connections(transport::TransportListener& listener, runtime::Runtime& rt,
                                                    ConnectionHandler handler, AcceptErrorPolicy on_error) {
    SpareDescriptor spare;
    bool in_episode = false;
    std::error_code unread;
    const asio::generic::stream_protocol protocol = listener.local_endpoint(unread).protocol();  // of every accepted socket
    for (;;) {
        std::error_code ec;
        // Accepted on the listener's own loop and only then handed to a worker: a pending
        // accept must hold no socket of another loop, which may be torn down first when
        // the runtime goes while the accept waits.
        auto accepted = co_await listener.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (!ec && ::fcntl(accepted.native_handle(), F_SETFD, FD_CLOEXEC) != 0) {
            ec = std::error_code(errno, std::system_category());
            accepted.close();
        }
        if (!ec) {
            in_episode = false;
            asio::io_context& worker = rt.next_worker();
            const int fd = accepted.release(ec);
            if (!ec) {
                transport::TransportStream socket(worker, protocol, fd);
                asio::co_spawn(worker, connection_task(handler, std::move(socket)),
                               [](std::exception_ptr e) { runtime::report_task_failure(e); });
            }
            continue;
        }
        if (ec == asio::error::operation_aborted) co_return ec;

        const bool first = !in_episode;
        in_episode = true;
        if (is_descriptor_exhaustion(ec)) spare.shed_one(listener.native_handle());
        const std::optional<std::chrono::milliseconds> pause = on_error(ec, first);
        if (!pause) co_return ec;
        if (pause->count() > 0) {
            asio::steady_timer timer(co_await asio::this_coro::executor, *pause);
            std::error_code waited;
            co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, waited));
            if (waited == asio::error::operation_aborted) co_return waited;
        }
    }
}

}  // namespace quillfern::server
