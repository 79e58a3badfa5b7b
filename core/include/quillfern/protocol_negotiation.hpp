// G65 protocol negotiation: a client's first line may list the protocols it speaks
// ("PROTOCOLS: tarpc, jsonrpc"); the server answers with the one it picked
// ("PROTOCOL: tarpc"). Anything else, or silence until the time limit, means JSON-RPC.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/line_reader.hpp"

namespace quillfern::protocol_negotiation {

// The wire protocol a client may ask for.
class IpcProtocol {
public:
    enum Kind : std::uint8_t { JsonRpc = 0, Tarpc = 1 };

    constexpr IpcProtocol(Kind kind) noexcept : kind_(kind) {}
    constexpr operator Kind() const noexcept { return kind_; }

    // Trimmed, ASCII case ignored: "jsonrpc", "json-rpc", "json_rpc" or "tarpc", "binary".
    static std::optional<IpcProtocol> parse(std::string_view name);

    // "jsonrpc" or "tarpc".
    constexpr std::string_view text() const noexcept { return kind_ == Tarpc ? "tarpc" : "jsonrpc"; }

private:
    Kind kind_;
};

// The two bytes that open a JSON-RPC connection on a socket that expects a first-byte
// signal: a gate's in the dual-socket mode, its cross-gate port, reedHorn's, thornKit's.
inline constexpr std::string_view kJsonrpcSignal{"\xEC\x01", 2};

// What the main socket accepts. The client's order decides, not this one.
inline constexpr std::array<IpcProtocol, 2> kServerProtocols{IpcProtocol::Tarpc, IpcProtocol::JsonRpc};

inline constexpr std::uint64_t kDefaultNegotiateTimeoutMs = 100;

// NEGOTIATE_TIMEOUT_MS as an unsigned decimal ("+" allowed), read at every call;
// 100 when unset, not UTF-8 or not such a number.
std::uint64_t negotiate_timeout();

// Reads the client's first line through `reader` within `timeout_ms` and answers a
// "PROTOCOLS: " line naming a protocol it accepts. Exactly that one line is consumed:
// later bytes, and a partial line still arriving at the time limit, stay in the reader.
// Gives the chosen protocol, none (serve as JSON-RPC), or the error of writing the
// answer line. Never closes the stream.
asio::awaitable<Expected<std::optional<IpcProtocol>, IoError>> negotiate(LineReader& reader,
                                                                         std::span<const IpcProtocol> accepted,
                                                                         std::uint64_t timeout_ms);

}  // namespace quillfern::protocol_negotiation

namespace quillfern {
using protocol_negotiation::IpcProtocol;
}
