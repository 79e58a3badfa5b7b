#include "quillfern/tarpc_listener.hpp"

#include <cerrno>

#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "quillfern/accept.hpp"
#include "quillfern/log.hpp"
#include "quillfern/node_identity.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server {

namespace {

constexpr const char* kTarget = "quillfern_server::tarpc_server";

// Accepts on the binary RPC socket. The binary RPC service itself is not part of this
// program yet: each connection is closed as soon as it is accepted, so clients fail
// fast instead of waiting in the backlog.
asio::awaitable<void> accept_loop(transport::TransportListener listener, runtime::Runtime& rt) {
    server::ConnectionHandler close_at_once = [](transport::TransportStream stream) -> asio::awaitable<void> {
        std::error_code ignored;
        stream.close(ignored);
        co_return;
    };
    // Every failure is followed by a new attempt, logged once per episode; only a
    // connection aborted before it was taken, an interrupted call or a spurious wake-up
    // is retried at once.
    server::AcceptErrorPolicy on_error = [](const std::error_code& error,
                                            bool first) -> std::optional<std::chrono::milliseconds> {
        if (first) {
            QF_LOG(log::Level::Warn, kTarget,
                   fmt::format("tarpc accept error: {}", IoError::from_error_code(error).message()));
        }
        const int e = error.value();
        const bool at_once = e == ECONNABORTED || e == EINTR || e == EAGAIN;
        return std::chrono::milliseconds(at_once ? 0 : 100);
    };
    co_await server::accept_connections(listener, rt, std::move(close_at_once), std::move(on_error));
}

}  // namespace

asio::awaitable<Expected<void, IoError>> start_tarpc_listener(const std::optional<std::string>& family_id,
                                                              std::string_view service,
                                                              std::shared_ptr<gossip::GossipStore> /*store*/,
                                                              runtime::Runtime& rt) {
    const std::string path = paths::join(socket_dir(), socket_file_name(service, family_id, ".tarpc.sock"));
    // A named endpoint: g++ 12 mishandles temporaries that live across a co_await.
    const transport::TransportEndpoint endpoint(transport::Uds{path});
    auto bound = co_await endpoint.bind();
    if (!bound) co_return unexpected(std::move(bound).error());
    QF_LOG(log::Level::Info, kTarget, fmt::format("tarpc listening on unix://{}", path));
    // The accept loop runs on a worker and owns the listener from here on.
    transport::TransportListener listener = std::move(*bound);
    asio::io_context& worker = rt.next_worker();
    transport::TransportListener on_worker(worker, asio::generic::stream_protocol(AF_UNIX, SOCK_STREAM),
                                           listener.release());
    asio::co_spawn(worker, accept_loop(std::move(on_worker), rt),
                   [](std::exception_ptr e) { runtime::report_task_failure(e); });
    co_return Expected<void, IoError>{};
}

}  // namespace quillfern::tarpc_server
