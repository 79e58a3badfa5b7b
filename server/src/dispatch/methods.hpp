// The JSON-RPC methods: one table of names and answers, and the answer of each method.
// A method answered from the store alone writes its result at once; one that writes a
// long result in chunks, or waits on thornKit, is a task. Each reads its own params.
#pragma once

#include <optional>
#include <string_view>
#include <variant>

#include <asio/awaitable.hpp>

#include "call.hpp"
#include "envelope.hpp"

namespace quillfern::dispatch::detail {

using AnswerNow = void (*)(MethodCall& call);
// False when the sink gave up on the reply.
using AnswerLater = asio::awaitable<bool> (*)(MethodCall& call);

struct Method {
    std::string_view name;
    std::variant<AnswerNow, AnswerLater> answer;
};

// The method of that exact name, or none.
const Method* find_method(std::string_view name) noexcept;

// What the service says about itself (no params).
void health_liveness(MethodCall& call);
void health_readiness(MethodCall& call);
void health_check(MethodCall& call);
void capabilities_list(MethodCall& call);
void btsp_negotiate(MethodCall& call);
void wendle_announce(MethodCall& call);

// The store's reads and reports.
asio::awaitable<bool> gossip_query(MethodCall& call);
asio::awaitable<bool> gossip_subscribe(MethodCall& call);
void gossip_status(MethodCall& call);
asio::awaitable<bool> gossip_peers(MethodCall& call);

// The store's writes: a local entry, and a peer's batch through the mesh's intake.
void gossip_inject(MethodCall& call);
// The same for a request in its plain form, its params read in place: false, with nothing
// written, when they or the rest of the line are not plain, or a topic or key is missing.
bool gossip_inject_plain(PlainRequest& request, gossip::GossipStore& store, ReplyWriter& reply);
asio::awaitable<bool> gossip_spread(MethodCall& call);
// The same for a request in its plain form, its params read in place (on `offload` when
// set) and the reply begun with its id; none, with nothing written, when the params or the
// rest of the line are not plain: the line is then read as any other.
asio::awaitable<std::optional<bool>> gossip_spread_plain(PlainRequest& request, gossip::GossipStore& store,
                                                         ReplyWriter& reply, const Offload* offload);

}  // namespace quillfern::dispatch::detail
