// TransportEndpoint::bind and ::connect, and the TCP helpers over "host:port" text.
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <asio/this_coro.hpp>

#include "quillfern/transport.hpp"

namespace quillfern::transport {

namespace {

IoError nul_in_file_name() { return IoError(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"); }

// The path without its last component, read component-wise: repeated and trailing
// separators and "." components in the middle don't count. None for "/" and "".
std::optional<std::string> parent_of(std::string_view path) {
    bool rooted = !path.empty() && path.front() == '/';
    std::vector<std::string_view> components;
    std::size_t start = 0;
    while (start <= path.size()) {
        auto end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        auto part = path.substr(start, end - start);
        bool leading_dot = start == 0 && part == ".";  // "./x" keeps its "."
        if (!part.empty() && (part != "." || leading_dot)) components.push_back(part);
        start = end + 1;
    }
    if (components.empty()) return std::nullopt;
    components.pop_back();
    std::string parent = rooted ? "/" : "";
    for (std::size_t i = 0; i < components.size(); ++i) {
        if (i > 0) parent += '/';
        parent += components[i];
    }
    return parent;
}

bool is_directory(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Expected<void, IoError> make_directory(const std::string& path) {
    if (path.find('\0') != std::string::npos) return unexpected(nul_in_file_name());
    if (::mkdir(path.c_str(), 0777) != 0) return unexpected(IoError::from_errno());
    return {};
}

// Creates the directory and every missing ancestor; an existing directory is fine.
Expected<void, IoError> create_directory_chain(const std::string& path) {
    if (path.empty()) return {};
    auto made = make_directory(path);
    if (made) return {};
    if (made.error().os_code() != ENOENT) {
        if (is_directory(path)) return {};
        return made;
    }
    auto parent = parent_of(path);
    if (!parent) return unexpected(IoError(IoErrorKind::Other, "failed to create whole tree"));
    if (auto parent_made = create_directory_chain(*parent); !parent_made) return parent_made;
    made = make_directory(path);
    if (made || is_directory(path)) return {};
    return made;
}

bool is_socket_file(const std::string& path) {
    if (path.find('\0') != std::string::npos) return false;
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Whether a live socket answers at `address`. A Unix-domain connect never waits: it is
// taken at once, refused when nothing listens, or fails with EAGAIN when the listener's
// backlog is full, which still means a server is there; EPROTOTYPE means that a socket of
// another type is bound there and alive.
bool someone_listens(const SocketAddress& address) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return false;
    bool answered = ::connect(fd, address.data(), static_cast<socklen_t>(address.size())) == 0 || errno == EAGAIN ||
                    errno == EINPROGRESS || errno == EPROTOTYPE;
    ::close(fd);
    return answered;
}

asio::awaitable<Expected<TransportListener, IoError>> bind_unix(const std::string& path) {
    auto executor = co_await asio::this_coro::executor;
    if (auto parent = parent_of(path); parent && !parent->empty()) {
        if (auto made = create_directory_chain(*parent); !made) co_return unexpected(std::move(made.error()));
    }
    auto address = unix_socket_address(path);
    // A socket file goes only when nothing listens on it: a running server (a second
    // instance started on the same directory, say) keeps its socket, and this bind fails
    // as a bind to a taken address does. Any other file at the path stays, and the bind
    // then fails with the system's error. Failures of the removal are ignored.
    if (is_socket_file(path)) {
        if (address && someone_listens(*address)) co_return unexpected(IoError::from_os(EADDRINUSE));
        ::unlink(path.c_str());
    }
    if (!address) co_return unexpected(std::move(address.error()));
    co_return listen_on_first(executor, std::span(&*address, 1));
}

asio::awaitable<Expected<TransportStream, IoError>> connect_unix(const std::string& path) {
    auto address = unix_socket_address(path);
    if (!address) co_return unexpected(std::move(address.error()));
    co_return co_await connect_to_first(std::span(&*address, 1));
}

std::string address_text(const Tcp& tcp) { return fmt::format("{}:{}", tcp.host, tcp.port); }

}  // namespace

asio::awaitable<Expected<TransportListener, IoError>> bind_tcp(std::string host_port) {
    auto addresses = co_await resolve(host_port);
    if (!addresses) co_return unexpected(std::move(addresses.error()));
    auto executor = co_await asio::this_coro::executor;
    co_return listen_on_first(executor, *addresses);
}

asio::awaitable<Expected<TransportStream, IoError>> connect_tcp(std::string host_port) {
    auto addresses = co_await resolve(host_port);
    if (!addresses) co_return unexpected(std::move(addresses.error()));
    co_return co_await connect_to_first(*addresses);
}

asio::awaitable<Expected<TransportListener, IoError>> TransportEndpoint::bind() const {
    if (const auto* uds = std::get_if<Uds>(&v_)) co_return co_await bind_unix(uds->path);
    if (const auto* tcp = std::get_if<Tcp>(&v_)) co_return co_await bind_tcp(address_text(*tcp));
    co_return unexpected(IoError(IoErrorKind::Unsupported, "mesh relay cannot be bound — register with reedHorn"));
}

asio::awaitable<Expected<TransportStream, IoError>> TransportEndpoint::connect() const {
    if (const auto* uds = std::get_if<Uds>(&v_)) co_return co_await connect_unix(uds->path);
    if (const auto* tcp = std::get_if<Tcp>(&v_)) co_return co_await connect_tcp(address_text(*tcp));
    co_return unexpected(IoError(IoErrorKind::Unsupported, "mesh relay requires reedHorn routing"));
}

}  // namespace quillfern::transport
