#include "quillfern/server.hpp"

#include <fmt/format.h>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/announce.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/platform_signal.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/text.hpp"

namespace quillfern::server {

namespace {

constexpr const char* kRelayNotBindable =
    "MeshRelay endpoints are not directly bindable — register capabilities with Reedhorn and let it route traffic";

using namespace asio::experimental::awaitable_operators;

// One accepted connection: the protocol negotiation in the default mode, the first-byte
// signal in legacy dual-socket mode.
asio::awaitable<void> connection_task(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store,
                                      bool negotiate) {
    if (negotiate) {
        co_await serve_negotiated(std::move(stream), std::move(store), tarpc_server::handle_tarpc_connection);
    } else {
        co_await handle_connection(std::move(stream), std::move(store));
    }
}

std::string listening_text(const transport::TransportEndpoint& endpoint, bool negotiate) {
    if (const auto* uds = std::get_if<transport::Uds>(&endpoint.variant())) {
        return negotiate ? fmt::format("Listening on unix://{} [G65 protocol negotiation]", uds->path)
                         : fmt::format("Listening on unix://{}", uds->path);
    }
    const auto& tcp = std::get<transport::Tcp>(endpoint.variant());
    return fmt::format("Listening on tcp://{}:{}", tcp.host, tcp.port);
}

}  // namespace

transport::TransportEndpoint choose_endpoint(const std::optional<transport::TransportEndpoint>& override_endpoint,
                                             const std::optional<std::string>& family_id, std::string_view service) {
    if (override_endpoint) return *override_endpoint;
    if (text::env_utf8("WENDLE_BIND_MODE") == std::optional<std::string>("tcp_only")) {
        return transport::Tcp{"127.0.0.1", 0};
    }
    return transport::Uds{paths::main_socket_path(service, family_id)};
}

asio::awaitable<Expected<void, std::string>> serve(ServeOptions options, std::shared_ptr<gossip::GossipStore> store,
                                                   runtime::Runtime& rt) {
    const transport::TransportEndpoint endpoint =
        choose_endpoint(options.override_endpoint, options.family_id, options.service);
    if (std::holds_alternative<transport::MeshRelay>(endpoint.variant())) {
        co_return unexpected(std::string(kRelayNotBindable));
    }

    auto bound = co_await endpoint.bind();
    if (!bound) co_return unexpected(bound.error().message());
    transport::TransportListener listener = std::move(*bound);

    // The handlers are in place before the server says it listens: from here on a
    // signal always means an orderly stop, also while connections are open.
    platform_signal::ShutdownSignals signals(co_await asio::this_coro::executor);

    QF_LOG(log::Level::Info, log::targets::kServer, listening_text(endpoint, options.negotiate));

    if (const auto* uds = std::get_if<transport::Uds>(&endpoint.variant())) {
        std::string family = options.family_id.value_or("tarnWendle");
        rt.spawn(announce::register_with_reedhorn(std::string(options.service), uds->path, std::move(family),
                                                  std::string(options.service), endpoint.to_json()));
    }

    ConnectionHandler handler = [store, negotiate = options.negotiate](transport::TransportStream stream) {
        return connection_task(std::move(stream), store, negotiate);
    };
    auto outcome = co_await (accept_connections(listener, rt, std::move(handler), retry_policy(kMainAcceptRetry)) ||
                             signals.wait_for_shutdown());
    if (outcome.index() == 1) {
        QF_LOG(log::Level::Info, log::targets::kServer, "graceful shutdown initiated");
        co_return Expected<void, std::string>{};
    }
    co_return unexpected(IoError::from_error_code(std::get<0>(outcome)).message());
}

}  // namespace quillfern::server
