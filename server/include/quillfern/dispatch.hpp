// Method dispatch: one JSON-RPC request line in, one reply text out, answered from the
// shared gossip store; and the handling of gossip batches received from peers, each
// entry checked with thornKit before it is ingested.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <asio/awaitable.hpp>

#include "quillfern/gossip.hpp"
#include "quillfern/json.hpp"

namespace quillfern::dispatch {

// Answers one request line (without its line end) with one reply text (without a line
// end): a success reply, or an error reply -32700 "Parse error" (id null) / -32601
// "Method not found" (the request's id). Bad parameters give a success reply whose
// result is {"error": text}. Never throws.
asio::awaitable<std::string> handle_request(std::string_view line,
                                            const std::shared_ptr<gossip::GossipStore>& store);

// The same reply appended to `out` (for a connection that collects the replies of a
// burst of pipelined lines in one buffer). Never throws but for allocation failures.
asio::awaitable<void> append_reply(std::string& out, std::string_view line,
                                   const std::shared_ptr<gossip::GossipStore>& store);

// "gossip.spread": checks every element of params' "entries" (or its one "entry") with
// thornKit and ingests the allowed ones with params' "from" ("unknown" when absent) as
// the sending peer. Gives {"accepted":A,"rejected":R}, or {"error":"Missing 'entry' or
// 'entries' param"}. Never throws.
asio::awaitable<json::Value> handle_gossip_spread(const json::Value& params, gossip::GossipStore& store);

// A "gossip.spread" batch already read from the request: the sending peer and the
// elements in batch order, none for an element that does not read as an entry.
struct SpreadBatch {
    std::string sender;
    std::vector<std::optional<gossip::GossipEntry>> elements;
};

// The same handling for a batch read straight from the request text:
// {"accepted":A,"rejected":R}. Never throws.
asio::awaitable<json::Value> handle_gossip_spread(SpreadBatch batch, gossip::GossipStore& store);

// Asks thornKit ("metadata.analyze") about one entry on a fresh connection; true for
// allowed. Only an explicit verdict "deny" or "reject" refuses; whatever can't be asked
// or read counts as allowed. Never throws.
asio::awaitable<bool> validate_with_thornkit(const gossip::GossipEntry& entry);

// thornKit's socket path: QUILLFERN_THORNKIT_SOCK unchanged (empty included) when set and
// UTF-8, else the runtime directory joined with "thornkit.sock".
std::string thornkit_socket_path();

}  // namespace quillfern::dispatch
