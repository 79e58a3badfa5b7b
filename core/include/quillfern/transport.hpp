// Transport endpoints: where a service can be reached, with their JSON form, and the
// bind / accept / connect operations on Unix-domain and TCP sockets.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/basic_socket_acceptor.hpp>
#include <asio/basic_stream_socket.hpp>
#include <asio/generic/stream_protocol.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/json.hpp"

namespace quillfern::transport {

struct Uds {
    std::string path;
    bool operator==(const Uds&) const = default;
};
struct Tcp {
    std::string host;
    std::uint16_t port = 0;
    bool operator==(const Tcp&) const = default;
};
struct MeshRelay {
    std::string peer_id;
    std::string capability;
    bool operator==(const MeshRelay&) const = default;
};

// A connected byte stream, Unix-domain or TCP (one socket type serves both families).
using TransportStream = asio::generic::stream_protocol::socket;
// A bound, listening socket, Unix-domain or TCP.
// (generic::stream_protocol names no acceptor type of its own.)
using TransportListener = asio::basic_socket_acceptor<asio::generic::stream_protocol>;

class TransportEndpoint {
public:
    using Variant = std::variant<Uds, Tcp, MeshRelay>;

    TransportEndpoint(Uds v) : v_(std::move(v)) {}
    TransportEndpoint(Tcp v) : v_(std::move(v)) {}
    TransportEndpoint(MeshRelay v) : v_(std::move(v)) {}

    const Variant& variant() const noexcept { return v_; }
    bool operator==(const TransportEndpoint&) const = default;

    // {"path":..,"transport":"uds"} and so on.
    json::Value to_json() const;
    // Reads the whole text as one endpoint (object or array form); errors carry the
    // serde-style description and position, e.g. "missing field `transport` at line 1 column 2".
    static Expected<TransportEndpoint, json::Error> from_json_text(std::string_view text);

    // Binds and listens (Unix: parent directories created, a stale socket file removed
    // (only a socket, and only when nothing listens on it: a live server's socket stays and
    // the bind fails with EADDRINUSE; any other file stays and the bind fails), backlog SOMAXCONN;
    // TCP: address reuse, backlog 128). Mesh relay endpoints can't be bound.
    // The endpoint must outlive the awaited operation.
    asio::awaitable<Expected<TransportListener, IoError>> bind() const;
    // Connects; no time limit of its own. Mesh relay endpoints can't be connected.
    asio::awaitable<Expected<TransportStream, IoError>> connect() const;

private:
    Variant v_;
};

// What the peer of a stream has ended, as far as the socket tells without waiting or
// reading (an end is seen even behind bytes of it still unread here).
enum class PeerEnd : std::uint8_t {
    Open,         // nothing
    SendingShut,  // it shut down its sending direction and still reads (a Unix socket tells this)
    Ended,        // its stream ended; whether it still reads can't be told (TCP: a close and a
                  // half-close look the same until something is written)
    Gone,         // both directions are closed (a Unix socket's close), the stream was reset or
                  // failed, or it was closed here
};
PeerEnd peer_end(TransportStream& stream) noexcept;

// Whether the stream has ended on its peer's side in any of those ways.
bool peer_has_ended(TransportStream& stream) noexcept;

// A socket address of any family (Unix-domain, IPv4, IPv6).
using SocketAddress = asio::generic::stream_protocol::endpoint;

// The address of a Unix-domain socket path, never truncated. Invalid input for a path
// holding a NUL byte ("paths must not contain interior null bytes") or one of 108 bytes
// or more ("path must be shorter than SUN_LEN").
Expected<SocketAddress, IoError> unix_socket_address(std::string_view path);

// A complete socket-address literal: "a.b.c.d:port" or "[v6]:port" ("[v6%scope]:port").
// None for any other text (host names, "::1:80", signs or blanks around the port).
std::optional<SocketAddress> parse_socket_address_literal(std::string_view text);

// Resolves "host:port" text: a socket-address literal gives that one address at once;
// otherwise the text is split at its last ':' ("invalid socket address" without one,
// "invalid port value" for a bad port) and the host is looked up with getaddrinfo on a
// blocking thread pool, giving the addresses in the resolver's order. A failed look-up
// reads "failed to lookup address information: " and the resolver's description.
// Cancelling the awaiting operation ends the wait at once. (Text arguments of these
// coroutines are taken by value: they outlive the caller's temporaries.)
asio::awaitable<Expected<std::vector<SocketAddress>, IoError>> resolve(std::string host_port);

// Binds and listens on the first address that allows it, trying them in order
// (Unix-domain: the platform's largest backlog; IP: address reuse, backlog 128).
// The last address's error when all fail; "could not resolve to any address" for none.
Expected<TransportListener, IoError> listen_on_first(const asio::any_io_executor& executor,
                                                     std::span<const SocketAddress> addresses);
// Connects to the first address that accepts, trying them in order; errors as above.
asio::awaitable<Expected<TransportStream, IoError>> connect_to_first(std::span<const SocketAddress> addresses);

// A TCP listener on "host:port" text (resolved as `resolve` does).
asio::awaitable<Expected<TransportListener, IoError>> bind_tcp(std::string host_port);
// A TCP stream to "host:port" text (resolved as `resolve` does).
asio::awaitable<Expected<TransportStream, IoError>> connect_tcp(std::string host_port);

}  // namespace quillfern::transport
