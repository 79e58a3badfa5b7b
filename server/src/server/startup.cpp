#include "quillfern/startup.hpp"

#include "quillfern/gossip_store.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/node_identity.hpp"
#include "quillfern/server.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/transport.hpp"

namespace quillfern {

asio::awaitable<Expected<void, std::string>> run(cli::Cli cli, runtime::Runtime& rt) {
    // Who this gate is.
    const std::string node_id = resolve_node_id(cli.gate_id);
    if (!cli.gate_id) {
        QF_LOG(log::Level::Warn, log::targets::kServerRoot,
               "GATE_ID not set — using hostname as node identity. Set GATE_ID env or --gate-id for stable mesh "
               "identity.",
               log::text("node_id", node_id));
    }

    // The engine, started before anything can reach it, then shared.
    auto store = std::make_shared<gossip::GossipStore>(node_id, std::make_shared<const gossip::SystemClock>());
    if (auto started = store->start(); !started) {
        co_return unexpected("startup failed: " + started.error().to_string());
    }
    QF_LOG(log::Level::Info, log::targets::kServerRoot, "quillFern started — fern spreads, kit validates",
           log::text("node_id", node_id));

    // The first heartbeat, before any background task exists.
    mesh::inject_endpoint_alive(*store, cli.gossip_port);

    // Background tasks, detached.
    rt.spawn(mesh::eviction_loop(store, cli.evict_interval, cli.gossip_port));
    rt.spawn(mesh::spread_loop(store, cli.spread_interval));
    rt.spawn(server::cross_gate_listener_task(store, cli.gossip_port, rt));

    // The legacy binary RPC socket.
    if (cli.legacy_dual_socket && !cli.disable_tarpc) {
        auto started = co_await tarpc_server::start_tarpc_listener(cli.family_id, server::kServiceName, store, rt);
        if (!started) co_return unexpected(started.error().message());
    }

    // The main socket's override.
    std::optional<transport::TransportEndpoint> override_endpoint;
    if (cli.transport_endpoint) {
        auto parsed = transport::TransportEndpoint::from_json_text(*cli.transport_endpoint);
        if (!parsed) co_return unexpected("invalid TRANSPORT_ENDPOINT: " + parsed.error().to_string());
        override_endpoint = std::move(*parsed);
    }

    // Serve until shutdown.
    server::ServeOptions options;
    options.family_id = cli.family_id;
    options.override_endpoint = std::move(override_endpoint);
    options.negotiate = !cli.legacy_dual_socket;
    co_return co_await server::serve(std::move(options), std::move(store), rt);
}

}  // namespace quillfern
