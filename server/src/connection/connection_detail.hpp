// Pieces the connection handlers share: the line loop both entry points end in, and the
// one exit of a connection's task.
#pragma once

#include <cstddef>
#include <exception>
#include <memory>

#include <asio/awaitable.hpp>

#include "quillfern/line_reader.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern::gossip {
class GossipStore;
}

namespace quillfern::server {

// Big request lines are read, and their memory given back, by the runtime's pool.
using runtime::offload_line_work;
using runtime::trim_memory_soon;

}  // namespace quillfern::server

namespace quillfern::server::detail {

// Replies waiting to be written are flushed once they reach this size, even while more
// complete request lines are buffered.
inline constexpr std::size_t kReplyFlushBytes = 64 * 1024;

// The line loop: every line (through its newline, or the last bytes before the end of
// the stream) is trimmed and answered by dispatch::append_reply, in order. Replies to
// pipelined lines go out together in one write once the buffered lines are used up; a
// long reply is written in chunks of dispatch::kReplyChunkBytes while it is built. Ends
// at the end of the stream, a read or write error, invalid UTF-8 or a line longer than
// the reader's limit, each reported here; the stream is closed on return. A request that
// needs more memory than it may have throws, for the connection's exit to report.
asio::awaitable<void> serve_jsonrpc_lines(protocol_negotiation::LineReader reader,
                                          std::shared_ptr<gossip::GossipStore> store);

// Runs one connection's task to its end. Whatever escapes it is reported here and only
// here: WARN "Request needs too much memory — closing connection" or "Connection aborted:
// ..."; then the memory the request had built is given back to the system. Never throws.
asio::awaitable<void> until_exit(asio::awaitable<void> task);

}  // namespace quillfern::server::detail
