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

using AnswerNow = void (*)(Call& call);
// False when the sink gave up on the reply.
using AnswerLater = asio::awaitable<bool> (*)(Call& call);

struct Method {
    std::string_view name;
    std::variant<AnswerNow, AnswerLater> answer;
};

// The method of that exact name, or none.
const Method* find_method(std::string_view name) noexcept;

// What the service says about itself (no params).
void health_liveness(Call& call);
void health_readiness(Call& call);
void health_check(Call& call);
void capabilities_list(Call& call);
void btsp_negotiate(Call& call);
void wendle_announce(Call& call);

// The store's reads and reports.
asio::awaitable<bool> gossip_query(Call& call);
asio::awaitable<bool> gossip_subscribe(Call& call);
void gossip_status(Call& call);
asio::awaitable<bool> gossip_peers(Call& call);

// The store's writes: a local entry, and a peer's batch through the mesh's intake.
void gossip_inject(Call& call);
asio::awaitable<bool> gossip_spread(Call& call);
// The same for a request in its plain form, its params read in place (on `offload` when
// set) and the reply begun with its id; none, with nothing written, when the params or the
// rest of the line are not plain: the line is then read as any other.
asio::awaitable<std::optional<bool>> gossip_spread_plain(PlainRequest& request, gossip::GossipStore& store,
                                                         ReplyWriter& reply, const Offload* offload);

}  // namespace quillfern::dispatch::detail
