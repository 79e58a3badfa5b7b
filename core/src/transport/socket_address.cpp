// Socket addresses built from text: Unix-domain paths and IP socket-address literals.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstddef>
#include <cstring>
#include <string>

#include "quillfern/transport.hpp"

namespace quillfern::transport {

Expected<SocketAddress, IoError> unix_socket_address(std::string_view path) {
    if (path.find('\0') != std::string_view::npos) {
        return unexpected(IoError(IoErrorKind::InvalidInput, "paths must not contain interior null bytes"));
    }
    sockaddr_un address{};
    if (path.size() >= sizeof(address.sun_path)) {
        return unexpected(IoError(IoErrorKind::InvalidInput, "path must be shorter than SUN_LEN"));
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.data(), path.size());
    // The terminating NUL counts for a named path; an empty path is the bare family.
    std::size_t length = offsetof(sockaddr_un, sun_path) + path.size() + (path.empty() ? 0 : 1);
    return SocketAddress(&address, length);
}

namespace {

// A decimal port: digits only (leading zeros allowed), at most 65535.
std::optional<std::uint16_t> parse_literal_port(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint32_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint32_t>(c - '0');
        if (value > 0xFFFF) return std::nullopt;
    }
    return static_cast<std::uint16_t>(value);
}

// A decimal IPv6 scope id: digits only, fitting 32 bits.
std::optional<std::uint32_t> parse_scope_id(std::string_view digits) {
    if (digits.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<SocketAddress> parse_v6_literal(std::string_view text) {
    // "[" address ("%" scope)? "]:" port
    auto close = text.find(']');
    if (close == std::string_view::npos || close + 1 >= text.size() || text[close + 1] != ':') return std::nullopt;
    std::string_view inside = text.substr(1, close - 1);
    auto port = parse_literal_port(text.substr(close + 2));
    if (!port) return std::nullopt;

    std::uint32_t scope = 0;
    if (auto percent = inside.find('%'); percent != std::string_view::npos) {
        auto parsed_scope = parse_scope_id(inside.substr(percent + 1));
        if (!parsed_scope) return std::nullopt;
        scope = *parsed_scope;
        inside = inside.substr(0, percent);
    }
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    if (::inet_pton(AF_INET6, std::string(inside).c_str(), &address.sin6_addr) != 1) return std::nullopt;
    address.sin6_port = htons(*port);
    address.sin6_scope_id = scope;
    return SocketAddress(&address, sizeof(address));
}

std::optional<SocketAddress> parse_v4_literal(std::string_view text) {
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    auto port = parse_literal_port(text.substr(colon + 1));
    if (!port) return std::nullopt;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    // inet_pton takes exactly four decimal octets, each at most 255, without leading zeros.
    if (::inet_pton(AF_INET, std::string(text.substr(0, colon)).c_str(), &address.sin_addr) != 1) return std::nullopt;
    address.sin_port = htons(*port);
    return SocketAddress(&address, sizeof(address));
}

}  // namespace

std::optional<SocketAddress> parse_socket_address_literal(std::string_view text) {
    if (text.find('\0') != std::string_view::npos) return std::nullopt;
    if (!text.empty() && text.front() == '[') return parse_v6_literal(text);
    return parse_v4_literal(text);
}

}  // namespace quillfern::transport
