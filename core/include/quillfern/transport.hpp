// Transport endpoints: where a service can be reached, with their JSON form, and the
// bind / accept / connect operations on Unix-domain and TCP sockets.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>

#include <asio/awaitable.hpp>
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
using TransportListener = asio::generic::stream_protocol::acceptor;

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

    // Binds and listens (Unix: parent directories created, a stale socket file removed;
    // TCP: address reuse, backlog 128). Mesh relay endpoints can't be bound.
    asio::awaitable<Expected<TransportListener, IoError>> bind() const;
    // Connects; no time limit of its own. Mesh relay endpoints can't be connected.
    asio::awaitable<Expected<TransportStream, IoError>> connect() const;

private:
    Variant v_;
};

// Accepts the next connection (close-on-exec, non-blocking).
asio::awaitable<Expected<TransportStream, IoError>> accept(TransportListener& listener);

}  // namespace quillfern::transport
