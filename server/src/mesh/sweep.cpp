// The spread sweep and its loop: every tick, the queued forward copies go to every peer
// in one "gossip.spread" request, built once and shared by the sweep's delivery tasks.
#include <exception>
#include <memory>
#include <string>
#include <utility>

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/this_coro.hpp>

#include "quillfern/fixed_schedule.hpp"
#include "quillfern/log.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::spread {

namespace {

constexpr std::string_view LOG_TARGET = "quillfern_server::spread";

}  // namespace

std::string spread_request(std::string_view node_id, std::span<const gossip::GossipEntry> batch) {
    std::string request = R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)";
    bool first = true;
    for (const gossip::GossipEntry& entry : batch) {
        if (!first) request += ',';
        first = false;
        json::write(request, entry.to_json());
    }
    request += R"(],"from":)";
    json::write_string(request, node_id);
    request += "}}";
    return request;
}

asio::awaitable<void> run_sweep(std::shared_ptr<gossip::GossipStore> store) {
    auto discovering = discover_peers();
    std::vector<std::string> peers = co_await std::move(discovering);
    if (peers.empty()) co_return;  // the copies stay queued for a sweep that finds peers

    std::vector<gossip::GossipEntry> batch = store->take_pending();
    if (batch.empty()) co_return;

    SharedPayload payload;
    try {
        payload = std::make_shared<const std::string>(spread_request(store->node_id(), batch));
    } catch (const std::exception& error) {
        QF_LOG(log::Level::Warn, LOG_TARGET, "Failed to serialize gossip batch", log::text("error", error.what()));
        co_return;
    }
    QF_LOG(log::Level::Info, LOG_TARGET, "Epidemic sweep: spreading gossip to peers",
           log::number("entries", batch.size()), log::number("peers", peers.size()));
    batch = {};  // the request holds everything the peers need

    const auto executor = co_await asio::this_coro::executor;
    for (std::string& peer : peers) {
        asio::co_spawn(executor, spread_to_peer(SpreadTask{std::move(peer), payload, store}), asio::detached);
    }
}

}  // namespace quillfern::spread

namespace quillfern::mesh {

asio::awaitable<void> spread_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs) {
    FixedSchedule schedule(co_await asio::this_coro::executor, FixedSchedule::seconds(interval_secs));
    for (;;) {
        co_await schedule.next_tick();
        try {
            auto sweeping = spread::run_sweep(store);
            co_await std::move(sweeping);
        } catch (const std::exception&) {
            // A sweep that failed (out of memory) loses its batch; the next tick tries again.
        }
    }
}

}  // namespace quillfern::mesh
