// Serving one accepted connection: the first-byte signal that opens it (legacy mode and
// the gossip port) or the protocol negotiation (the main socket's default mode), then the
// newline-delimited JSON-RPC line loop that follows either.
#pragma once

#include <functional>
#include <memory>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/protocol_negotiation.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::gossip {
class GossipStore;
}

namespace quillfern::server {

// The signal of a JSON-RPC connection on a socket that expects signals.
using protocol_negotiation::kJsonrpcSignal;

// The one fixed reply, to a probe (0xEC 0x00): 39 bytes, keys in this order.
inline constexpr std::string_view kProbeReply = "{\"jsonrpc\":\"2.0\",\"result\":\"ok\",\"id\":0}\n";

// Each entry point below is one connection's whole task: it returns when the connection
// is finished, every outcome handled and logged inside (WARN "Connection aborted: ..."
// for whatever failed unforeseen), and the stream closed.

// The signalled road (legacy mode and the gossip port): reads the first-byte signal and
// serves or closes the connection accordingly: 0xEC 0x00 probe, 0xEC 0x01 JSON-RPC, 0xED
// + 4 bytes, 0xEE + 6 bytes, printable ASCII (a legacy client's first line), anything
// else dropped. The JSON-RPC line loop follows the signals that open it.
asio::awaitable<void> handle_connection(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store);

// Serves a main-socket connection that negotiated tarpc, from the byte after the
// negotiation line; the stream is its own. The server passes in the binary service's.
using TarpcHandoff = std::function<asio::awaitable<void>(transport::TransportStream)>;

// The negotiated road (the main socket's default mode): the protocol negotiation within
// negotiate_timeout(), then the JSON-RPC line loop on the same reader, or `tarpc`.
asio::awaitable<void> serve_negotiated(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store,
                                       TarpcHandoff tarpc);

}  // namespace quillfern::server
