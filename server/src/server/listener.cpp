#include <fcntl.h>

#include <cerrno>

#include <asio/experimental/awaitable_operators.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <fmt/format.h>

#include "quillfern/announce.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/node_identity.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/platform_signal.hpp"
#include "quillfern/server.hpp"
#include "quillfern/text.hpp"

namespace quillfern::server {

namespace {

constexpr const char* kRelayNotBindable =
    "MeshRelay endpoints are not directly bindable — register capabilities with Reedhorn and let it route traffic";

using namespace asio::experimental::awaitable_operators;

// Accept errors that say something about this moment, not about the listener: the
// server waits a little and accepts again instead of giving up.
bool is_transient_accept_error(const std::error_code& ec) {
    if (ec.category() != std::system_category()) return false;
    switch (ec.value()) {
        case ECONNABORTED: case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM: case EPROTO: case EINTR:
        case EAGAIN: case ENETDOWN: case EHOSTUNREACH: case ENETUNREACH: case ETIMEDOUT:
            return true;
        default:
            return false;
    }
}

// One accepted connection, served to its end on the worker that owns its socket.
asio::awaitable<void> connection_task(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store,
                                      bool negotiate) {
    try {
        if (negotiate) {
            co_await serve_negotiated(std::move(stream), store);
        } else {
            co_await handle_connection(std::move(stream), store);
        }
    } catch (...) {
        // A failure ends this connection only.
    }
}

struct Accepted {
    std::optional<transport::TransportStream> stream;
    std::error_code error;
};

asio::awaitable<Accepted> accept_on(transport::TransportListener& listener, asio::io_context& worker) {
    std::error_code ec;
    auto socket = co_await listener.async_accept(worker, asio::redirect_error(asio::use_awaitable, ec));
    if (ec) co_return Accepted{std::nullopt, ec};
    ::fcntl(socket.native_handle(), F_SETFD, FD_CLOEXEC);
    co_return Accepted{transport::TransportStream(std::move(socket)), {}};
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
    return transport::Uds{paths::join(paths::runtime_dir(), socket_file_name(service, family_id, ".sock"))};
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

    for (;;) {
        asio::io_context& worker = rt.next_worker();
        auto outcome = co_await (accept_on(listener, worker) || signals.wait_for_shutdown());
        if (outcome.index() == 1) {
            QF_LOG(log::Level::Info, log::targets::kServer, "graceful shutdown initiated");
            co_return Expected<void, std::string>{};
        }
        Accepted& accepted = std::get<0>(outcome);
        if (accepted.error) {
            if (!is_transient_accept_error(accepted.error)) {
                co_return unexpected(IoError::from_error_code(accepted.error).message());
            }
            QF_LOG(log::Level::Warn, log::targets::kServer,
                   fmt::format("Accept error: {} — retrying", IoError::from_error_code(accepted.error).message()));
            asio::steady_timer pause(co_await asio::this_coro::executor, std::chrono::milliseconds(50));
            if ((co_await (pause.async_wait(asio::use_awaitable) || signals.wait_for_shutdown())).index() == 1) {
                QF_LOG(log::Level::Info, log::targets::kServer, "graceful shutdown initiated");
                co_return Expected<void, std::string>{};
            }
            continue;
        }
        asio::co_spawn(worker, connection_task(std::move(*accepted.stream), store, options.negotiate),
                       [](std::exception_ptr e) { runtime::report_task_failure(e); });
    }
}

}  // namespace quillfern::server
