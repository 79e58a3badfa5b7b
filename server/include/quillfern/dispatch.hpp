// Method dispatch: one JSON-RPC request line in, one reply text out, answered from the
// shared gossip store (a "gossip.spread" batch through the mesh's intake).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include <asio/awaitable.hpp>

#include "quillfern/gossip_store.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::dispatch {

// Answers one request line (without its line end) with one reply text (without a line
// end): a success reply, or an error reply -32700 "Parse error" (id null) / -32601
// "Method not found" (the request's id). Bad parameters give a success reply whose
// result is {"error": text}. Never throws.
asio::awaitable<std::string> handle_request(std::string_view line, const std::shared_ptr<gossip::GossipStore>& store);

// A long reply is handed on in chunks of about this size while it is being written.
inline constexpr std::size_t kReplyChunkBytes = 64 * 1024;

// Request lines longer than this are read, and taken apart when answered, through the
// sink's `offload`.
inline constexpr std::size_t kOffloadLineBytes = 1024 * 1024;

// Runs `work` to its end away from the caller's thread and resumes the caller on its own
// executor afterwards; an exception of `work` reaches the caller. `text_bytes` is the size
// of the request text that `work` reads (0 when it reads none).
using Offload = std::function<asio::awaitable<void>(std::size_t text_bytes, std::function<void()> work)>;

// Where a reply goes: the text it is appended to and, for a connection, a way to send
// that text on while a long reply is still being written ("gossip.query",
// "gossip.subscribe" and "gossip.peers" call it whenever the text holds a chunk or more).
// `drain` writes and empties `out`; false means the connection cannot take more and the
// reply is given up. Without `drain` the whole reply stays in `out`; without `offload`
// every line is read where the caller runs. `peer_end` tells, without waiting, what the
// connection's peer has ended of it (transport::peer_end); a long "gossip.spread" batch
// looks at it to stop working for a sender that has gone. Without it the peer is taken
// to be there.
struct ReplySink {
    std::string& out;
    std::function<asio::awaitable<bool>()> drain;
    Offload offload;
    std::function<transport::PeerEnd()> peer_end = {};
};

// The same reply appended to `out` (for a connection that collects the replies of a
// burst of pipelined lines in one buffer). Throws only std::bad_alloc: a reply that
// cannot be had for lack of memory is never passed off as "Parse error".
asio::awaitable<void> append_reply(std::string& out, std::string_view line,
                                   const std::shared_ptr<gossip::GossipStore>& store);

// The same reply through `sink`, drained chunk by chunk while a long reply is written. False
// when a drain failed, or when a batch's sender was found gone (`peer_end`): the reply
// is incomplete and the connection must end. Throws only
// std::bad_alloc; after one, part of the reply may have been drained already.
asio::awaitable<bool> append_reply(ReplySink& sink, std::string_view line,
                                   const std::shared_ptr<gossip::GossipStore>& store);

}  // namespace quillfern::dispatch
