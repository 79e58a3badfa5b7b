// Serving one accepted connection: the first-byte signal that opens it (legacy mode and
// the gossip port), the protocol negotiation (the main socket's default mode), and the
// newline-delimited JSON-RPC line loop that follows either.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/line_reader.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::gossip {
class GossipStore;
}

namespace quillfern::server {

// The two bytes that open a JSON-RPC connection on a socket that expects signals.
inline constexpr std::string_view JSONRPC_SIGNAL{"\xEC\x01", 2};

// The one fixed reply, to a probe (0xEC 0x00): 39 bytes, keys in this order.
inline constexpr std::string_view PROBE_REPLY = "{\"jsonrpc\":\"2.0\",\"result\":\"ok\",\"id\":0}\n";

// Replies waiting to be written are flushed once they reach this size, even while
// more complete request lines are buffered.
inline constexpr std::size_t REPLY_FLUSH_BYTES = 64 * 1024;

// Request lines over dispatch::OFFLOAD_LINE_BYTES are read on a small pool of threads of
// their own, so that one connection's big request never holds up the connections that
// share its worker; at most this much of their text is read at once (a line waits its turn).
inline constexpr std::size_t LINE_PARSE_THREADS = 2;
inline constexpr std::size_t LINE_PARSE_BUDGET_BYTES = std::size_t{128} * 1024 * 1024;

// Runs `work` on that pool, `text_bytes` of request text taken from the budget while it
// runs, and resumes the caller on its own executor; an exception of `work` reaches the
// caller (dispatch::Offload).
asio::awaitable<void> offload_line_work(std::size_t text_bytes, std::function<void()> work);

// Gives memory that big lines left in the allocator back to the system: soon, and at
// most about once a second however often it is asked. Never throws.
void trim_memory_soon() noexcept;

// Ends the pool: the work under way finishes, work not begun is dropped, later work runs
// on its caller's thread. The runtime calls it once its workers have stopped, before
// their event loops are destroyed.
void stop_line_pool() noexcept;

// Reads the first-byte signal and serves or closes the connection accordingly:
// 0xEC 0x00 probe, 0xEC 0x01 JSON-RPC, 0xED + 4 bytes, 0xEE + 6 bytes, printable ASCII
// (a legacy client's first line), anything else dropped. Every outcome is handled and
// logged inside; the stream is closed on return.
asio::awaitable<void> handle_connection(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store);

// The line loop: every line (through its newline, or the last bytes before the end of
// the stream) is trimmed and answered by dispatch::handle_request, in order. Replies
// to pipelined lines go out together in one write once the buffered lines are used
// up; a long reply is written in chunks of dispatch::REPLY_CHUNK_BYTES while it is built.
// Ends at the end of the stream, a read or write error, invalid UTF-8, a line longer
// than the reader's limit, or a request that needs more memory than it may have; the
// stream is closed on return.
asio::awaitable<void> serve_jsonrpc_lines(protocol_negotiation::LineReader reader,
                                          std::shared_ptr<gossip::GossipStore> store);

// A main-socket connection in the default mode: the protocol negotiation within
// negotiate_timeout(), then the line loop on the same reader, or the tarpc hand-off.
asio::awaitable<void> serve_negotiated(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store);

}  // namespace quillfern::server
