#include <utility>

#include <fmt/format.h>

#include "connection_detail.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/protocol_negotiation.hpp"

namespace quillfern::server {

namespace {

asio::awaitable<void> negotiated(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store,
                                 TarpcHandoff tarpc) {
    using protocol_negotiation::IpcProtocol;
    // One reader from here to the close: whatever followed the negotiation line is the
    // start of the line loop.
    protocol_negotiation::LineReader reader(std::move(stream));
    auto outcome = co_await protocol_negotiation::negotiate(reader, protocol_negotiation::kServerProtocols,
                                                            protocol_negotiation::negotiate_timeout());
    if (!outcome) {
        QF_LOG(log::Level::Warn, log::targets::kServer,
               fmt::format("Protocol negotiation error: {} — falling back to JSON-RPC", outcome.error().message()));
    } else if (*outcome == IpcProtocol::Tarpc) {
        QF_LOG(log::Level::Info, log::targets::kServer, "G65: tarpc selected — handing off to tarpc handler");
        co_await tarpc(std::move(reader).release_stream());
        co_return;
    }
    co_await detail::serve_jsonrpc_lines(std::move(reader), std::move(store));
}

}  // namespace

asio::awaitable<void> serve_negotiated(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store,
                                       TarpcHandoff tarpc) {
    return detail::until_exit(negotiated(std::move(stream), std::move(store), std::move(tarpc)));
}

}  // namespace quillfern::server
