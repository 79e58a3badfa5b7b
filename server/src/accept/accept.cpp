// The accept loop shared by every listener.
#include "quillfern/accept.hpp"

#include "accept_errors.hpp"
#include "quillfern/expected.hpp"

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

// One descriptor held in reserve. At the descriptor limit it is closed for a moment, the
// waiting connections are accepted into its place one after the other and closed, and it
// is taken again.
class SpareDescriptor {
    static constexpr int kMostShedAtOnce = 4096;

public:
    SpareDescriptor() : fd_(open_spare()) {}
    ~SpareDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    SpareDescriptor(const SpareDescriptor&) = delete;
    SpareDescriptor& operator=(const SpareDescriptor&) = delete;

    // Every client waiting in the backlog now is closed at once: while the server is out
    // of descriptors none of them could be served, and one at a time per retry would keep
    // the last of a burst waiting for seconds.
    void shed_waiting(int listening_fd) noexcept {
        if (fd_ >= 0) ::close(fd_);
        // The listener is non-blocking for the reactor already; say so for these calls too,
        // so that an empty backlog never blocks the thread.
        const int flags = ::fcntl(listening_fd, F_GETFL);
        if (flags >= 0 && !(flags & O_NONBLOCK)) ::fcntl(listening_fd, F_SETFL, flags | O_NONBLOCK);
        // Bounded, so that clients connecting as fast as they are closed can't hold the
        // listener here.
        for (int shed = 0; shed < kMostShedAtOnce; ++shed) {
            const int taken = ::accept4(listening_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (taken < 0) {
                if (errno == EINTR || errno == ECONNABORTED) continue;
                break;
            }
            ::close(taken);
        }
        fd_ = open_spare();
    }

private:
    static int open_spare() noexcept { return ::open("/dev/null", O_RDONLY | O_CLOEXEC); }
    int fd_;
};

// The listener's address family and protocol, for the sockets made from what it accepts.
asio::generic::stream_protocol protocol_of(transport::TransportListener& listener) {
    int family = AF_UNIX, protocol = 0;
    socklen_t length = sizeof(family);
    ::getsockopt(listener.native_handle(), SOL_SOCKET, SO_DOMAIN, &family, &length);
    length = sizeof(protocol);
    ::getsockopt(listener.native_handle(), SOL_SOCKET, SO_PROTOCOL, &protocol, &length);
    return asio::generic::stream_protocol(family, protocol);
}

// Takes the next waiting connection, waiting for one when none is there, and gives its
// descriptor, accepted close-on-exec and non-blocking in one call. The socket object is
// made on the worker's loop only afterwards: nothing that waits on the listener's loop
// ever holds an object of another loop, so the loops can be torn down in any order.
asio::awaitable<Expected<int, std::error_code>> accept_descriptor(transport::TransportListener& listener) {
    for (;;) {
        const int fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) co_return fd;
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK)
            co_return unexpected(std::error_code(errno, std::system_category()));
        std::error_code ec;
        co_await listener.async_wait(asio::socket_base::wait_read, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return unexpected(ec);
    }
}

}  // namespace

asio::awaitable<std::error_code> accept_connections(transport::TransportListener& listener, runtime::Runtime& rt,
                                                    ConnectionHandler handler, AcceptErrorPolicy on_error) {
    SpareDescriptor spare;
    const asio::generic::stream_protocol protocol = protocol_of(listener);
    bool in_episode = false;
    for (;;) {
        Expected<int, std::error_code> accepted = co_await accept_descriptor(listener);
        std::error_code ec;
        if (accepted) {
            asio::io_context& worker = rt.next_worker();
            transport::TransportStream socket(worker);
            socket.assign(protocol, *accepted, ec);
            if (!ec) {
                in_episode = false;
                // A failure that escapes the handler ends this connection only, and is reported.
                asio::co_spawn(worker, handler(std::move(socket)),
                               [](std::exception_ptr e) { runtime::report_task_failure(e); });
                continue;
            }
            ::close(*accepted);
        } else {
            ec = accepted.error();
        }
        if (ec == asio::error::operation_aborted) co_return ec;

        const bool first = !in_episode;
        in_episode = true;
        if (detail::is_descriptor_exhaustion(ec)) spare.shed_waiting(listener.native_handle());
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
