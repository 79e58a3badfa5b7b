// The binary RPC socket: set up once at start-up in legacy dual-socket mode, then one
// accept loop for the life of the process.
#include <fmt/format.h>
#include <asio/co_spawn.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server {

namespace {

// Accepts for as long as the process lives: every failure is followed by a new attempt
// (kAcceptRetry).
asio::awaitable<void> accept_loop(transport::TransportListener listener, QuillFernTarpcServer handler,
                                  runtime::Runtime& rt) {
    server::ConnectionHandler serve = [handler](transport::TransportStream stream) {
        return serve_connection(std::move(stream), handler);
    };
    co_await server::accept_connections(listener, rt, std::move(serve), server::retry_policy(kAcceptRetry));
}

}  // namespace

asio::awaitable<Expected<void, IoError>> start_tarpc_listener(const std::optional<std::string>& family_id,
                                                              std::string_view service,
                                                              std::shared_ptr<gossip::GossipStore> store,
                                                              runtime::Runtime& rt) {
    const std::string path = paths::tarpc_socket_path(service, family_id);
    // A named endpoint: g++ 12 mishandles temporaries that live across a co_await.
    const transport::TransportEndpoint endpoint(transport::Uds{path});
    auto bound = co_await endpoint.bind();
    if (!bound) co_return unexpected(std::move(bound).error());
    QF_LOG(log::Level::Info, log::targets::kTarpcServer, fmt::format("tarpc listening on unix://{}", path));
    // The accept loop runs on a worker and owns the listener from here on.
    transport::TransportListener listener = std::move(*bound);
    asio::io_context& worker = rt.next_worker();
    transport::TransportListener on_worker(worker, asio::generic::stream_protocol(AF_UNIX, SOCK_STREAM),
                                           listener.release());
    asio::co_spawn(worker, accept_loop(std::move(on_worker), QuillFernTarpcServer(std::move(store)), rt),
                   [](std::exception_ptr e) { runtime::report_task_failure(e); });
    co_return Expected<void, IoError>{};
}

}  // namespace quillfern::tarpc_server
