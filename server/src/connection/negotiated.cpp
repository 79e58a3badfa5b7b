#include <utility>

#include <fmt/format.h>

#include "connection_detail.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/protocol_negotiation.hpp"

namespace quillfern::server {

asio::awaitable<void> serve_negotiated(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store,
                                       TarpcHandoff tarpc) {
    using protocol_negotiation::IpcProtocol;
    try {
        // One reader from here to the close: whatever followed the negotiation line is
        // the start of the line loop.
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
        co_await serve_jsonrpc_lines(std::move(reader), std::move(store));
    } catch (...) {
        detail::log_connection_failure(std::current_exception());
    }
}

}  // namespace quillfern::server
