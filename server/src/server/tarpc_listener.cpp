#include "quillfern/tarpc_listener.hpp"

#include <fcntl.h>

#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/node_identity.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server {

namespace {

// Accepts on the binary RPC socket. The binary RPC service itself is not part of this
// program yet: each connection is closed as soon as it is accepted, so clients fail
// fast instead of waiting in the backlog.
asio::awaitable<void> accept_loop(transport::TransportListener listener, std::shared_ptr<gossip::GossipStore>) {
    for (;;) {
        std::error_code ec;
        auto socket = co_await listener.async_accept(asio::redirect_error(asio::use_awaitable, ec));
        if (ec) {
            QF_LOG(log::Level::Warn, log::targets::kTarpcServer,
                   fmt::format("tarpc accept error: {}", IoError::from_error_code(ec).message()));
            continue;
        }
        socket.close(ec);
    }
}

}  // namespace

asio::awaitable<Expected<void, IoError>> start_tarpc_listener(const std::optional<std::string>& family_id,
                                                              std::string_view service,
                                                              std::shared_ptr<gossip::GossipStore> store,
                                                              runtime::Runtime& rt) {
    const std::string path = paths::join(socket_dir(), socket_file_name(service, family_id, ".tarpc.sock"));
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
    asio::co_spawn(worker, accept_loop(std::move(on_worker), std::move(store)),
                   [](std::exception_ptr e) { runtime::report_task_failure(e); });
    co_return Expected<void, IoError>{};
}

}  // namespace quillfern::tarpc_server
