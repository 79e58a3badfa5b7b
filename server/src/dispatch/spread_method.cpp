// "gossip.spread": a peer's batch, read from its params by the mesh's reader (in place when
// the request is plain) and taken in by the mesh's intake.
#include <optional>
#include <string>
#include <utility>

#include "methods.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

const std::string& missing_entry_result() {
    static const std::string text = param_error_result(rpc_types::kMissingEntryError);
    return text;
}

}  // namespace

asio::awaitable<bool> gossip_spread(MethodCall& call) {
    std::optional<mesh::SpreadBatch> batch = co_await call.read_params_aside(mesh::read_spread_params);
    if (!batch) {
        call.out() += missing_entry_result();
        co_return true;
    }
    const std::optional<json::Value> result =
        co_await mesh::take_in_spread(std::move(*batch), call.store(), mesh::BatchSender{call.reply().peer_end()});
    if (!result) co_return false;  // the sender has gone: no one reads a reply, the connection ends
    json::write(call.out(), *result);
    co_return true;
}

asio::awaitable<std::optional<bool>> gossip_spread_plain(PlainRequest& request, gossip::GossipStore& store,
                                                         ReplyWriter& reply, const Offload* offload) {
    mesh::PlainSpreadBatch batch;
    bool plain = false;
    auto read = [&] {
        batch = mesh::read_plain_spread_params(request.params());
        plain = request.finish();
    };
    if (offload != nullptr) {
        co_await (*offload)(request.params().remaining(), read);
    } else {
        read();
    }
    if (!plain) co_return std::nullopt;
    reply.begin_success(request.id());
    const std::optional<json::Value> result =
        co_await mesh::take_in_spread(std::move(batch), store, mesh::BatchSender{reply.peer_end()});
    if (!result) co_return false;  // the sender has gone: no one reads a reply, the connection ends
    json::write(reply.out(), *result);
    reply.end_success();
    co_return true;
}

}  // namespace quillfern::dispatch::detail
