// The cross-gate listener: other gates' "gossip.spread" batches arrive on TCP
// 127.0.0.1 at the gossip port, every connection served by serve_signalled (first-byte
// signal, then the JSON-RPC line loop) as a task of its own.
#include <arpa/inet.h>
#include <netinet/in.h>

#include <fmt/format.h>

#include "quillfern/accept.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/server.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::server {

namespace {

// "127.0.0.1:53112" ("[::1]:53112" for IPv6); empty when the address can't be read.
std::string remote_address_text(const transport::TransportStream& stream) {
    std::error_code ec;
    const transport::SocketAddress remote = stream.remote_endpoint(ec);
    if (ec) return {};
    char host[INET6_ADDRSTRLEN] = {};
    if (remote.data()->sa_family == AF_INET) {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(remote.data());
        ::inet_ntop(AF_INET, &v4->sin_addr, host, sizeof host);
        return fmt::format("{}:{}", host, ntohs(v4->sin_port));
    }
    if (remote.data()->sa_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(remote.data());
        ::inet_ntop(AF_INET6, &v6->sin6_addr, host, sizeof host);
        return fmt::format("[{}]:{}", host, ntohs(v6->sin6_port));
    }
    return {};
}

asio::awaitable<void> serve_cross_gate_connection(transport::TransportStream stream,
                                                  std::shared_ptr<gossip::GossipStore> store) {
    QF_LOG(log::Level::Debug, log::targets::kServerRoot, "Cross-gate gossip connection",
           log::text("peer", remote_address_text(stream)));
    co_await serve_signalled(std::move(stream), std::move(store));
}

}  // namespace

asio::awaitable<Expected<void, IoError>> cross_gate_listener(std::shared_ptr<gossip::GossipStore> store,
                                                             std::uint16_t gossip_port, runtime::Runtime& rt) {
    auto bound = co_await transport::bind_tcp(fmt::format("127.0.0.1:{}", gossip_port));
    if (!bound) co_return unexpected(std::move(bound).error());
    transport::TransportListener listener = std::move(*bound);
    QF_LOG(log::Level::Info, log::targets::kServerRoot, "Cross-gate gossip listener started",
           log::number("port", gossip_port));

    ConnectionHandler handler = [store](transport::TransportStream stream) {
        return serve_cross_gate_connection(std::move(stream), store);
    };
    const std::error_code stopped =
        co_await accept_connections(listener, rt, std::move(handler), retry_policy(kCrossGateAcceptRetry));
    co_return unexpected(IoError::from_error_code(stopped));
}

asio::awaitable<void> cross_gate_listener_task(std::shared_ptr<gossip::GossipStore> store, std::uint16_t gossip_port,
                                               runtime::Runtime& rt) {
    auto ended = co_await cross_gate_listener(std::move(store), gossip_port, rt);
    if (!ended) {
        QF_LOG(log::Level::Error, log::targets::kServerRoot, "Cross-gate gossip listener failed",
               log::text("error", ended.error().message()));
    }
}

}  // namespace quillfern::server
