// Bind, connect and accept on real Unix-domain and TCP sockets.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <asio/bind_cancellation_slot.hpp>
#include <asio/cancellation_signal.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "accept_hook.hpp"
#include "loopback_listener.hpp"
#include "quillfern/transport.hpp"
#include "run_task.hpp"
#include "temp_dir.hpp"

namespace quillfern::transport {
namespace {

using namespace std::string_literals;
namespace fs = std::filesystem;

void rethrow(std::exception_ptr error) {
    if (error) std::rethrow_exception(error);
}

// Runs `task`, and whatever else the context holds, to the end.
template <class T>
T run_on(asio::io_context& io, asio::awaitable<T> task) {
    return ::quillfern::testing::run_task(io, std::move(task), ::quillfern::testing::RunUntil::Idle);
}

// asio opens its reactor's descriptors with the first socket it registers; do that
// before counting so that only the operation under test shows.
void start_reactor(asio::io_context& io) {
    TransportStream warm(io);
    warm.open(asio::generic::stream_protocol(AF_UNIX, 0));
}

std::size_t open_descriptor_count() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/fd")) ++count;
    return count;
}

bool has_fd_flag(int fd, int flag) { return (::fcntl(fd, F_GETFD) & flag) != 0; }
bool has_status_flag(int fd, int flag) { return (::fcntl(fd, F_GETFL) & flag) != 0; }

std::uint16_t local_port(const TransportListener& listener) {
    auto address = listener.local_endpoint();
    if (address.data()->sa_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6*>(address.data())->sin6_port);
    }
    return ntohs(reinterpret_cast<const sockaddr_in*>(address.data())->sin_port);
}

// Sends a few bytes each way over a connected pair.
void expect_bytes_flow(TransportStream& client, TransportStream& server) {
    asio::write(client, asio::buffer("ping", 4));
    std::string received(4, '\0');
    asio::read(server, asio::buffer(received));
    EXPECT_EQ(received, "ping");
    asio::write(server, asio::buffer("pong", 4));
    asio::read(client, asio::buffer(received));
    EXPECT_EQ(received, "pong");
}

// A Unix socket file with nothing listening on it, as a crashed earlier run leaves it.
void make_stale_socket_file(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_GE(fd, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    ASSERT_LT(path.size(), sizeof(address.sun_path));
    path.copy(address.sun_path, path.size());
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)), 0) << errno;
    ::close(fd);
}

bool is_socket_file(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

void expect_error(const IoError& error, IoErrorKind kind, const std::string& message) {
    EXPECT_EQ(error.kind(), kind);
    EXPECT_EQ(error.message(), message);
}

// A short temporary directory (socket paths are limited to 107 bytes) and an io_context.
class SocketTest : public ::testing::Test {
protected:
    // A path in the temporary directory exactly `length` bytes long.
    std::string path_of_length(std::size_t length) const {
        std::string prefix = dir + "/";
        return prefix + std::string(length - prefix.size(), 's');
    }

    // A bind at `path` fails as a taken address, and leaves no descriptor of its own open.
    void expect_bind_refused_as_taken(const std::string& path) {
        start_reactor(io);
        const auto descriptors_before = open_descriptor_count();
        auto refused = run_on(io, TransportEndpoint(Uds{path}).bind());
        ASSERT_FALSE(refused.has_value());
        expect_error(refused.error(), IoErrorKind::Os, "Address already in use (os error 98)");
        EXPECT_EQ(refused.error().os_code(), EADDRINUSE);
        EXPECT_EQ(open_descriptor_count(), descriptors_before);
    }

    ::quillfern::testing::TempDir temp_dir;
    std::string dir = temp_dir.path();
    asio::io_context io;
};

// ---------------------------------------------------------------------------------------
// Unix-domain bind

using UnixBind = SocketTest;

TEST_F(UnixBind, CreatesTheMissingDirectoryChainWithUmaskedMode) {
    std::string path = dir + "/a/b/c/q.sock";
    mode_t previous = ::umask(027);
    auto listener = run_on(io, TransportEndpoint(Uds{path}).bind());
    ::umask(previous);
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    for (const auto* sub : {"/a", "/a/b", "/a/b/c"}) {
        struct stat info {};
        ASSERT_EQ(::stat((dir + sub).c_str(), &info), 0) << sub;
        EXPECT_TRUE(S_ISDIR(info.st_mode)) << sub;
        EXPECT_EQ(info.st_mode & 07777, 0750u) << sub;
    }
    EXPECT_TRUE(is_socket_file(path));
}

TEST_F(UnixBind, ToleratesRepeatedAndTrailingSeparatorsInTheDirectoryPart) {
    std::string path = dir + "//x/./y//q.sock";
    auto listener = run_on(io, TransportEndpoint(Uds{path}).bind());
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    EXPECT_TRUE(is_socket_file(dir + "/x/y/q.sock"));
}

TEST_F(UnixBind, ReplacesAStaleSocketFileAndServesOnIt) {
    std::string path = dir + "/q.sock";
    make_stale_socket_file(path);
    ASSERT_TRUE(is_socket_file(path));

    TransportEndpoint endpoint(Uds{path});
    auto listener = run_on(io, endpoint.bind());
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    auto client = run_on(io, endpoint.connect());
    ASSERT_TRUE(client.has_value()) << client.error().message();
    auto server = run_on(io, accept(*listener));
    ASSERT_TRUE(server.has_value()) << server.error().message();
    expect_bytes_flow(*client, *server);
}

// A listener of another process on the path, as a raw descriptor with the given backlog.
int listen_raw(const std::string& path, int backlog) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 || ::listen(fd, backlog) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// A datagram socket of another process bound at the path.
int bind_datagram(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Connects until the listener's backlog takes no more; the connections stay open.
std::vector<int> fill_backlog(const std::string& path) {
    std::vector<int> queued;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.copy(address.sun_path, path.size());
    for (int i = 0; i < 64; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
            ::close(fd);
            break;
        }
        queued.push_back(fd);
    }
    return queued;
}

struct LiveListenerCase {
    std::string name;
    int backlog;
    bool full;  // the backlog is filled before the second bind
};

class UnixBindBesideLiveListener : public SocketTest, public ::testing::WithParamInterface<LiveListenerCase> {};

TEST_P(UnixBindBesideLiveListener, LeavesItsSocketAndFailsAsATakenAddress) {
    const LiveListenerCase& c = GetParam();
    std::string path = dir + "/q.sock";
    int live = listen_raw(path, c.backlog);
    ASSERT_GE(live, 0) << errno;
    std::vector<int> queued;
    if (c.full) {
        queued = fill_backlog(path);
        ASSERT_FALSE(queued.empty());
    }
    ASSERT_NO_FATAL_FAILURE(expect_bind_refused_as_taken(path));
    // The file is still the live listener's: whatever it queued is still there, and a new
    // client still reaches it once there is room.
    for (int fd : queued) {
        int accepted = ::accept(live, nullptr, nullptr);
        EXPECT_GE(accepted, 0);
        ::close(accepted);
        ::close(fd);
    }
    auto client = run_on(io, TransportEndpoint(Uds{path}).connect());
    ASSERT_TRUE(client.has_value()) << client.error().message();
    asio::write(*client, asio::buffer("x", 1));
    TransportListener listener(io, asio::generic::stream_protocol(AF_UNIX, 0), live);
    // The probe of the refused bind may stand before the client in the queue: it was
    // closed at once and carries no byte.
    for (;;) {
        auto server = run_on(io, accept(listener));
        ASSERT_TRUE(server.has_value()) << server.error().message();
        char byte = 0;
        std::error_code ec;
        server->read_some(asio::buffer(&byte, 1), ec);
        if (!ec) {
            EXPECT_EQ(byte, 'x');
            break;
        }
        EXPECT_EQ(ec, asio::error::eof);
    }
}

TEST_F(UnixBind, LeavesALiveSocketOfAnotherType) {
    std::string path = dir + "/q.sock";
    int live = bind_datagram(path);
    ASSERT_GE(live, 0) << errno;
    auto second = run_on(io, TransportEndpoint(Uds{path}).bind());
    ASSERT_FALSE(second.has_value());
    expect_error(second.error(), IoErrorKind::Os, "Address already in use (os error 98)");
    EXPECT_TRUE(is_socket_file(path));
    ::close(live);
}

INSTANTIATE_TEST_SUITE_P(Listeners, UnixBindBesideLiveListener,
                         ::testing::Values(LiveListenerCase{"Idle", SOMAXCONN, false},
                                           LiveListenerCase{"WithAFullBacklog", 0, true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(UnixBind, ReplacesTheSocketOfAListenerThatHasClosed) {
    std::string path = dir + "/q.sock";
    TransportEndpoint endpoint(Uds{path});
    {
        auto first = run_on(io, endpoint.bind());
        ASSERT_TRUE(first.has_value()) << first.error().message();
    }
    ASSERT_TRUE(is_socket_file(path));
    auto second = run_on(io, endpoint.bind());
    ASSERT_TRUE(second.has_value()) << second.error().message();

    auto client = run_on(io, endpoint.connect());
    ASSERT_TRUE(client.has_value());
    auto server = run_on(io, accept(*second));
    ASSERT_TRUE(server.has_value());
    expect_bytes_flow(*client, *server);
}

struct ForeignFileCase {
    std::string name;
    // Creates something that is not a socket at the path.
    std::function<void(const std::string& dir, const std::string& path)> make;
    mode_t type;  // S_IFREG, S_IFDIR, S_IFLNK
};

class UnixBindBesideForeignFile : public SocketTest, public ::testing::WithParamInterface<ForeignFileCase> {};

TEST_P(UnixBindBesideForeignFile, LeavesTheFileAloneAndFailsWithTheSystemError) {
    std::string path = dir + "/q.sock";
    GetParam().make(dir, path);
    ASSERT_NO_FATAL_FAILURE(expect_bind_refused_as_taken(path));
    struct stat info {};
    ASSERT_EQ(::lstat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & S_IFMT, GetParam().type);
}

INSTANTIATE_TEST_SUITE_P(
    Files, UnixBindBesideForeignFile,
    ::testing::Values(
        ForeignFileCase{"RegularFile",
                        [](const std::string&, const std::string& path) { std::ofstream(path) << "user data"; },
                        S_IFREG},
        ForeignFileCase{"Directory", [](const std::string&, const std::string& path) { fs::create_directory(path); },
                        S_IFDIR},
        ForeignFileCase{
            "DanglingSymlink",
            [](const std::string& dir, const std::string& path) { fs::create_symlink(dir + "/nowhere", path); },
            S_IFLNK},
        // The link is not followed: neither it nor the socket it names goes.
        ForeignFileCase{"SymlinkToASocket",
                        [](const std::string& dir, const std::string& path) {
                            make_stale_socket_file(dir + "/target.sock");
                            fs::create_symlink(dir + "/target.sock", path);
                        },
                        S_IFLNK}),
    [](const auto& info) { return info.param.name; });

TEST_F(UnixBind, KeepsTheContentOfARegularFileAtThePath) {
    std::string path = dir + "/q.sock";
    std::ofstream(path) << "user data";
    auto listener = run_on(io, TransportEndpoint(Uds{path}).bind());
    ASSERT_FALSE(listener.has_value());
    std::ifstream file(path);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(content, "user data");
}

TEST_F(UnixBind, FailsWhenAnAncestorIsARegularFile) {
    std::ofstream(dir + "/plain") << "x";
    auto listener = run_on(io, TransportEndpoint(Uds{dir + "/plain/sub/q.sock"}).bind());
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::Os, "Not a directory (os error 20)");
}

TEST_F(UnixBind, PathOf107BytesBindsAndConnects) {
    std::string path = path_of_length(107);
    TransportEndpoint endpoint(Uds{path});
    auto listener = run_on(io, endpoint.bind());
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    EXPECT_TRUE(is_socket_file(path));
    auto client = run_on(io, endpoint.connect());
    ASSERT_TRUE(client.has_value()) << client.error().message();
    auto server = run_on(io, accept(*listener));
    ASSERT_TRUE(server.has_value()) << server.error().message();
    expect_bytes_flow(*client, *server);
}

TEST_F(UnixBind, PathOf108BytesIsRefusedAfterTheDirectoriesWereMade) {
    std::string path = dir + "/made/" + std::string(108 - dir.size() - 6, 's');
    ASSERT_EQ(path.size(), 108u);
    TransportEndpoint endpoint(Uds{path});

    auto listener = run_on(io, endpoint.bind());
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::InvalidInput, "path must be shorter than SUN_LEN");
    EXPECT_TRUE(fs::is_directory(dir + "/made"));
    EXPECT_FALSE(fs::exists(path));

    auto client = run_on(io, endpoint.connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::InvalidInput, "path must be shorter than SUN_LEN");
}

TEST_F(UnixBind, NulByteInTheFileNameIsRefused) {
    std::string path = dir + "/q\0x.sock"s;
    TransportEndpoint endpoint(Uds{path});
    auto listener = run_on(io, endpoint.bind());
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::InvalidInput, "paths must not contain interior null bytes");
    EXPECT_TRUE(fs::is_empty(dir));

    auto client = run_on(io, endpoint.connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::InvalidInput, "paths must not contain interior null bytes");
}

TEST_F(UnixBind, NulByteInTheDirectoryPartFailsTheDirectoryCreation) {
    auto listener = run_on(io, TransportEndpoint(Uds{dir + "/d\0x/q.sock"s}).bind());
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte");
    EXPECT_TRUE(fs::is_empty(dir));
}

// ---------------------------------------------------------------------------------------
// Unix-domain connect

using UnixConnect = SocketTest;

TEST_F(UnixConnect, MissingSocketFileGivesTheSystemErrorAndLeaksNothing) {
    start_reactor(io);
    auto descriptors_before = open_descriptor_count();
    auto client = run_on(io, TransportEndpoint(Uds{dir + "/absent.sock"}).connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::Os, "No such file or directory (os error 2)");
    EXPECT_EQ(client.error().os_code(), ENOENT);
    EXPECT_EQ(open_descriptor_count(), descriptors_before);
}

TEST_F(UnixConnect, StaleSocketFileIsRefused) {
    std::string path = dir + "/q.sock";
    make_stale_socket_file(path);
    auto client = run_on(io, TransportEndpoint(Uds{path}).connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::Os, "Connection refused (os error 111)");
}

// ---------------------------------------------------------------------------------------
// TCP

using TcpSockets = SocketTest;

// A bound TCP port with nothing listening on it: connections to it are refused.
struct ReservedPort : ::quillfern::testing::LoopbackListener {
    ReservedPort() : LoopbackListener(std::nullopt) {}
};

SocketAddress loopback_v4(std::uint16_t port) {
    auto address = parse_socket_address_literal("127.0.0.1:" + std::to_string(port));
    if (!address) std::abort();
    return *address;
}

TEST_F(TcpSockets, BindsWithAddressReuseAndAcceptsByLiteralAndByName) {
    auto listener = run_on(io, TransportEndpoint(Tcp{"127.0.0.1", 0}).bind());
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    int reuse = 0;
    socklen_t length = sizeof(reuse);
    ASSERT_EQ(::getsockopt(listener->native_handle(), SOL_SOCKET, SO_REUSEADDR, &reuse, &length), 0);
    EXPECT_NE(reuse, 0);
    std::uint16_t port = local_port(*listener);
    ASSERT_NE(port, 0);

    for (const auto* host : {"127.0.0.1", "localhost"}) {
        SCOPED_TRACE(host);
        auto client = run_on(io, TransportEndpoint(Tcp{host, port}).connect());
        ASSERT_TRUE(client.has_value()) << client.error().message();
        auto server = run_on(io, accept(*listener));
        ASSERT_TRUE(server.has_value()) << server.error().message();
        expect_bytes_flow(*client, *server);
    }
}

TEST_F(TcpSockets, BareV6HostIsResolvedAndBound) {
    if (int probe = ::socket(AF_INET6, SOCK_STREAM, 0); probe < 0) {
        GTEST_SKIP() << "no IPv6";
    } else {
        ::close(probe);
    }
    auto listener = run_on(io, TransportEndpoint(Tcp{"::1", 0}).bind());
    if (!listener && listener.error().os_code() == EADDRNOTAVAIL) GTEST_SKIP() << "no ::1";
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    EXPECT_EQ(listener->local_endpoint().data()->sa_family, AF_INET6);
    auto client = run_on(io, connect_tcp("[::1]:" + std::to_string(local_port(*listener))));
    ASSERT_TRUE(client.has_value()) << client.error().message();
    auto server = run_on(io, accept(*listener));
    ASSERT_TRUE(server.has_value());
    expect_bytes_flow(*client, *server);
}

TEST_F(TcpSockets, RefusedPortGivesTheSystemErrorAndLeaksNothing) {
    ReservedPort reserved;
    start_reactor(io);
    auto descriptors_before = open_descriptor_count();
    auto client = run_on(io, TransportEndpoint(Tcp{"127.0.0.1", reserved.port()}).connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::Os, "Connection refused (os error 111)");
    EXPECT_EQ(open_descriptor_count(), descriptors_before);
}

TEST_F(TcpSockets, PortInUseFailsTheBind) {
    auto first = run_on(io, bind_tcp("127.0.0.1:0"));
    ASSERT_TRUE(first.has_value());
    auto second = run_on(io, bind_tcp("127.0.0.1:" + std::to_string(local_port(*first))));
    ASSERT_FALSE(second.has_value());
    expect_error(second.error(), IoErrorKind::Os, "Address already in use (os error 98)");
}

TEST_F(TcpSockets, FailedLookupIsReportedByBindAndConnect) {
    const std::string message = "failed to lookup address information: Name or service not known";
    TransportEndpoint endpoint(Tcp{"", 7800});
    auto listener = run_on(io, endpoint.bind());
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::Other, message);
    auto client = run_on(io, endpoint.connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::Other, message);
}

// ---------------------------------------------------------------------------------------
// Address lists: first success wins, else the last error

using AddressLists = SocketTest;

TEST_F(AddressLists, NoAddressesIsInvalidInput) {
    auto listener = listen_on_first(io.get_executor(), {});
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::InvalidInput, "could not resolve to any address");
    auto client = run_on(io, connect_to_first({}));
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::InvalidInput, "could not resolve to any address");
}

TEST_F(AddressLists, ConnectReachesTheSecondAddressWhenTheFirstRefuses) {
    ReservedPort refused;
    auto listener = run_on(io, bind_tcp("127.0.0.1:0"));
    ASSERT_TRUE(listener.has_value());
    std::vector<SocketAddress> addresses{loopback_v4(refused.port()), loopback_v4(local_port(*listener))};

    auto client = run_on(io, connect_to_first(addresses));
    ASSERT_TRUE(client.has_value()) << client.error().message();
    auto server = run_on(io, accept(*listener));
    ASSERT_TRUE(server.has_value());
    expect_bytes_flow(*client, *server);
}

TEST_F(AddressLists, ConnectGivesTheLastAddressError) {
    ReservedPort refused;
    auto missing = unix_socket_address(dir + "/absent.sock");
    ASSERT_TRUE(missing.has_value());
    const std::string refused_text = "Connection refused (os error 111)";
    const std::string missing_text = "No such file or directory (os error 2)";

    std::vector<SocketAddress> refused_last{*missing, loopback_v4(refused.port())};
    auto client = run_on(io, connect_to_first(refused_last));
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error().message(), refused_text);

    std::vector<SocketAddress> missing_last{loopback_v4(refused.port()), *missing};
    client = run_on(io, connect_to_first(missing_last));
    ASSERT_FALSE(client.has_value());
    EXPECT_EQ(client.error().message(), missing_text);
}

TEST_F(AddressLists, BindTakesTheFirstAddressThatBindsElseTheLastError) {
    auto taken = run_on(io, bind_tcp("127.0.0.1:0"));
    ASSERT_TRUE(taken.has_value());
    auto in_use = loopback_v4(local_port(*taken));
    auto no_such_dir = unix_socket_address(dir + "/absent/q.sock");
    ASSERT_TRUE(no_such_dir.has_value());

    std::vector<SocketAddress> second_binds{in_use, loopback_v4(0)};
    auto listener = listen_on_first(io.get_executor(), second_binds);
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    EXPECT_NE(local_port(*listener), local_port(*taken));

    std::vector<SocketAddress> all_fail{in_use, *no_such_dir};
    auto failed = listen_on_first(io.get_executor(), all_fail);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message(), "No such file or directory (os error 2)");

    std::vector<SocketAddress> all_fail_reversed{*no_such_dir, in_use};
    failed = listen_on_first(io.get_executor(), all_fail_reversed);
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error().message(), "Address already in use (os error 98)");
}

// ---------------------------------------------------------------------------------------
// Mesh relay endpoints

TEST(MeshRelayEndpoint, CanNeitherBeBoundNorConnectedAndOpensNoSocket) {
    asio::io_context io;
    TransportEndpoint endpoint(MeshRelay{"gate-7", "gossip"});
    auto descriptors_before = open_descriptor_count();

    auto listener = run_on(io, endpoint.bind());
    ASSERT_FALSE(listener.has_value());
    expect_error(listener.error(), IoErrorKind::Unsupported, "mesh relay cannot be bound — register with reedHorn");

    auto client = run_on(io, endpoint.connect());
    ASSERT_FALSE(client.has_value());
    expect_error(client.error(), IoErrorKind::Unsupported, "mesh relay requires reedHorn routing");

    EXPECT_EQ(open_descriptor_count(), descriptors_before);
}

// ---------------------------------------------------------------------------------------
// Accept, for both families

struct FamilyCase {
    std::string name;
    // The endpoint to bind, given the temporary directory.
    std::function<TransportEndpoint(const std::string& dir)> bind_endpoint;
    // The endpoint to connect to, given the temporary directory and the bound listener.
    std::function<TransportEndpoint(const std::string& dir, const TransportListener&)> connect_endpoint;
};

class AcceptEachFamily : public SocketTest, public ::testing::WithParamInterface<FamilyCase> {
protected:
    Expected<TransportListener, IoError> bind_listener() { return run_on(io, GetParam().bind_endpoint(dir).bind()); }
};

TEST_P(AcceptEachFamily, EverySocketIsCloseOnExecAndNonBlocking) {
    auto listener = bind_listener();
    ASSERT_TRUE(listener.has_value()) << listener.error().message();

    // The accept starts first, so it finds nothing and has to wait for the client.
    std::optional<Expected<TransportStream, IoError>> server;
    asio::co_spawn(
        io, [&]() -> asio::awaitable<void> { server.emplace(co_await accept(*listener)); }, rethrow);
    auto client = run_on(io, GetParam().connect_endpoint(dir, *listener).connect());
    ASSERT_TRUE(client.has_value()) << client.error().message();
    ASSERT_TRUE(server.has_value());
    ASSERT_TRUE(server->has_value()) << server->error().message();

    for (auto [what, fd] :
         {std::pair{"listener", listener->native_handle()}, std::pair{"accepted", (*server)->native_handle()},
          std::pair{"connected", client->native_handle()}}) {
        EXPECT_TRUE(has_fd_flag(fd, FD_CLOEXEC)) << what;
        EXPECT_TRUE(has_status_flag(fd, O_NONBLOCK)) << what;
    }
    EXPECT_EQ((*server)->local_endpoint().data()->sa_family, listener->local_endpoint().data()->sa_family);
    expect_bytes_flow(*client, **server);
}

TEST_P(AcceptEachFamily, ServesConnectionsQueuedInTheBacklogInOrder) {
    auto listener = bind_listener();
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    auto endpoint = GetParam().connect_endpoint(dir, *listener);
    std::vector<TransportStream> clients;
    for (int i = 0; i < 3; ++i) {
        auto client = run_on(io, endpoint.connect());
        ASSERT_TRUE(client.has_value()) << client.error().message();
        std::string tag = std::to_string(i);
        asio::write(*client, asio::buffer(tag));
        clients.push_back(std::move(*client));
    }
    for (int i = 0; i < 3; ++i) {
        auto server = run_on(io, accept(*listener));
        ASSERT_TRUE(server.has_value()) << server.error().message();
        char tag = 0;
        asio::read(*server, asio::buffer(&tag, 1));
        EXPECT_EQ(tag, '0' + i);
    }
}

TEST_P(AcceptEachFamily, CancellationEndsAWaitingAccept) {
    auto listener = bind_listener();
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    asio::cancellation_signal cancel;
    std::optional<Expected<TransportStream, IoError>> server;
    asio::co_spawn(
        io, [&]() -> asio::awaitable<void> { server.emplace(co_await accept(*listener)); },
        asio::bind_cancellation_slot(cancel.slot(), rethrow));
    io.restart();
    io.poll();  // the accept now waits for readiness
    ASSERT_FALSE(server.has_value());
    cancel.emit(asio::cancellation_type::terminal);
    io.run();
    ASSERT_TRUE(server.has_value());
    ASSERT_FALSE(server->has_value());
    EXPECT_EQ(server->error().os_code(), ECANCELED);
}

TEST_P(AcceptEachFamily, AcceptOnAClosedListenerIsAnError) {
    auto listener = bind_listener();
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    listener->close();
    auto server = run_on(io, accept(*listener));
    ASSERT_FALSE(server.has_value());
    expect_error(server.error(), IoErrorKind::Os, "Bad file descriptor (os error 9)");
}

// What the far end of a connection did, as peer_end and peer_has_ended see it without
// reading: an end is seen even behind bytes not read yet, and a Unix socket tells a
// half-close from a close where TCP can't.
TEST_P(AcceptEachFamily, PeerEndIsSeenWithoutReading) {
    auto listener = bind_listener();
    ASSERT_TRUE(listener.has_value()) << listener.error().message();
    enum class Then { Nothing, Bytes, ShutdownSend, Close, BytesThenClose, Reset, ClosedHere };
    struct Case {
        const char* name;
        Then then;
        bool ended;
        PeerEnd on_unix, on_tcp;
    };
    using enum PeerEnd;
    for (const Case& c :
         {Case{"Nothing", Then::Nothing, false, Open, Open}, Case{"Bytes", Then::Bytes, false, Open, Open},
          Case{"ShutdownSend", Then::ShutdownSend, true, SendingShut, Ended},
          Case{"Close", Then::Close, true, Gone, Ended},
          Case{"BytesThenClose", Then::BytesThenClose, true, Gone, Ended}, Case{"Reset", Then::Reset, true, Gone, Gone},
          Case{"ClosedHere", Then::ClosedHere, true, Gone, Gone}}) {
        SCOPED_TRACE(c.name);
        std::optional<Expected<TransportStream, IoError>> server;
        asio::co_spawn(
            io, [&]() -> asio::awaitable<void> { server.emplace(co_await accept(*listener)); }, rethrow);
        auto client = run_on(io, GetParam().connect_endpoint(dir, *listener).connect());
        ASSERT_TRUE(client.has_value()) << client.error().message();
        ASSERT_TRUE(server.has_value() && server->has_value());
        TransportStream& stream = **server;
        EXPECT_FALSE(peer_has_ended(stream));
        switch (c.then) {
            case Then::Nothing: break;
            case Then::Bytes: asio::write(*client, asio::buffer("x", 1)); break;
            case Then::ShutdownSend: client->shutdown(asio::socket_base::shutdown_send); break;
            case Then::Close: client->close(); break;
            case Then::BytesThenClose:
                asio::write(*client, asio::buffer("x", 1));
                client->close();
                break;
            case Then::Reset:
                client->set_option(asio::socket_base::linger(true, 0));
                client->close();
                break;
            case Then::ClosedHere: stream.close(); break;
        }
        if (c.then != Then::Nothing && c.then != Then::ClosedHere) {
            // Waits for what the client did to arrive (no bytes are read).
            pollfd arrival{stream.native_handle(), static_cast<short>(c.ended ? POLLRDHUP : POLLIN), 0};
            ASSERT_EQ(::poll(&arrival, 1, 10'000), 1);
        }
        EXPECT_EQ(peer_has_ended(stream), c.ended);
        EXPECT_EQ(peer_end(stream), std::string(GetParam().name) == "Unix" ? c.on_unix : c.on_tcp);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Families, AcceptEachFamily,
    ::testing::Values(FamilyCase{"Unix", [](const std::string& dir) { return TransportEndpoint(Uds{dir + "/q.sock"}); },
                                 [](const std::string& dir, const TransportListener&) {
                                     return TransportEndpoint(Uds{dir + "/q.sock"});
                                 }},
                      FamilyCase{"Tcp",
                                 [](const std::string&) {
                                     return TransportEndpoint(Tcp{"127.0.0.1", 0});
                                 },
                                 [](const std::string&, const TransportListener& listener) {
                                     return TransportEndpoint(Tcp{"127.0.0.1", local_port(listener)});
                                 }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quillfern::transport
