// Socket set-up on raw descriptors: every socket is created close-on-exec and
// non-blocking in one call, then handed to asio.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string_view>
#include <utility>

#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "accept_hook.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::transport {

namespace {

constexpr int kTcpBacklog = 128;

// Closes the descriptor unless it was handed on.
class OwnedFd {
public:
    explicit OwnedFd(int fd) noexcept : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    OwnedFd& operator=(OwnedFd&&) = delete;
    ~OwnedFd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const noexcept { return fd_; }
    int release() noexcept { return std::exchange(fd_, -1); }

private:
    int fd_;
};

asio::generic::stream_protocol stream_protocol_for(int family) {
    return asio::generic::stream_protocol(family, family == AF_UNIX ? 0 : IPPROTO_TCP);
}

int family_of(const SocketAddress& address) { return address.data()->sa_family; }

// asio reports errno values under a category of its own ("asio.system"); they print
// like every other OS error.
IoError os_error(const std::error_code& ec) {
    if (std::string_view(ec.category().name()) == "asio.system") return IoError::from_os(ec.value());
    return IoError::from_error_code(ec);
}

IoError no_addresses() { return IoError(IoErrorKind::InvalidInput, "could not resolve to any address"); }

Expected<OwnedFd, IoError> new_stream_socket(int family) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return unexpected(IoError::from_errno());
    return OwnedFd(fd);
}

Expected<TransportListener, IoError> listen_on(const asio::any_io_executor& executor, const SocketAddress& address) {
    int family = family_of(address);
    auto socket = new_stream_socket(family);
    if (!socket) return unexpected(socket.error());
    int fd = socket->get();
    if (family != AF_UNIX) {
        int on = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0) return unexpected(IoError::from_errno());
    }
    if (::bind(fd, address.data(), static_cast<socklen_t>(address.size())) != 0) {
        return unexpected(IoError::from_errno());
    }
    if (::listen(fd, family == AF_UNIX ? SOMAXCONN : kTcpBacklog) != 0) return unexpected(IoError::from_errno());

    TransportListener listener(executor);
    std::error_code ec;
    listener.assign(stream_protocol_for(family), fd, ec);
    if (ec) return unexpected(os_error(ec));
    socket->release();
    return listener;
}

Expected<TransportStream, IoError> adopt_stream(const asio::any_io_executor& executor, OwnedFd& socket, int family) {
    TransportStream stream(executor);
    std::error_code ec;
    stream.assign(stream_protocol_for(family), socket.get(), ec);
    if (ec) return unexpected(os_error(ec));
    socket.release();
    return stream;
}

// A non-blocking connect: wait until writable, then take the socket's pending error.
asio::awaitable<Expected<TransportStream, IoError>> connect_to(const SocketAddress& address) {
    auto executor = co_await asio::this_coro::executor;
    int family = family_of(address);
    auto socket = new_stream_socket(family);
    if (!socket) co_return unexpected(socket.error());
    bool in_progress = false;
    if (::connect(socket->get(), address.data(), static_cast<socklen_t>(address.size())) != 0) {
        if (errno != EINPROGRESS) co_return unexpected(IoError::from_errno());
        in_progress = true;
    }
    auto stream = adopt_stream(executor, *socket, family);
    if (!stream || !in_progress) co_return std::move(stream);

    std::error_code ec;
    co_await stream->async_wait(asio::socket_base::wait_write, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return unexpected(os_error(ec));
    int pending = 0;
    socklen_t length = sizeof(pending);
    if (::getsockopt(stream->native_handle(), SOL_SOCKET, SO_ERROR, &pending, &length) != 0) {
        co_return unexpected(IoError::from_errno());
    }
    if (pending != 0) co_return unexpected(IoError::from_os(pending));
    co_return std::move(stream);
}

}  // namespace

Expected<TransportListener, IoError> listen_on_first(const asio::any_io_executor& executor,
                                                     std::span<const SocketAddress> addresses) {
    std::optional<IoError> last_error;
    for (const auto& address : addresses) {
        auto listener = listen_on(executor, address);
        if (listener) return listener;
        last_error = std::move(listener.error());
    }
    return unexpected(last_error ? std::move(*last_error) : no_addresses());
}

asio::awaitable<Expected<TransportStream, IoError>> connect_to_first(std::span<const SocketAddress> addresses) {
    std::optional<IoError> last_error;
    for (const auto& address : addresses) {
        auto stream = co_await connect_to(address);
        if (stream) co_return std::move(stream);
        last_error = std::move(stream.error());
    }
    co_return unexpected(last_error ? std::move(*last_error) : no_addresses());
}

asio::awaitable<Expected<TransportStream, IoError>> accept(TransportListener& listener) {
    std::error_code ec;
    if (!listener.non_blocking()) {
        listener.non_blocking(true, ec);
        if (ec) co_return unexpected(os_error(ec));
    }
    for (;;) {
        int fd = ::accept4(listener.native_handle(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0) {
            OwnedFd socket(fd);
            int family = AF_UNSPEC;
            socklen_t length = sizeof(family);
            if (::getsockopt(fd, SOL_SOCKET, SO_DOMAIN, &family, &length) != 0) {
                co_return unexpected(IoError::from_errno());
            }
            co_return adopt_stream(listener.get_executor(), socket, family);
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) co_return unexpected(IoError::from_errno());
        co_await listener.async_wait(asio::socket_base::wait_read, asio::redirect_error(asio::use_awaitable, ec));
        if (ec) co_return unexpected(os_error(ec));
    }
}

}  // namespace quillfern::transport
