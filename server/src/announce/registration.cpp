// The registration task: the announcement to the quorvel API, then "ipc.register" with
// reedHorn. One attempt each; every outcome is logged and nothing is retried.
#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/paths.hpp"
#include "sibling_exchange.hpp"

namespace quillfern::announce {

namespace {

constexpr detail::ExchangeEvents kRegisterEvents{
    "Reedhorn not reachable ({}) — wendle operates without discovery",
    "Failed to send ipc.register to reedhorn: {}",
    "No response from reedhorn ipc.register",
    "Registered with Reedhorn: {}",
};

}  // namespace

asio::awaitable<void> register_with_reedhorn(std::string service, std::string socket_path, std::string family,
                                             std::string service_again, json::Value endpoint,
                                             sibling_client::Limits limits) {
    // The announcement is bounded like every exchange, so a quorvel API that never
    // answers cannot keep the registration from following it.
    co_await announce_to_quorvel(std::move(service), std::move(socket_path), std::move(family), limits);

    // Looked up only now: reedHorn may have come up while the announcement waited.
    std::optional<std::string> reedhorn = paths::discover_reedhorn_socket();
    if (!reedhorn) {
        QF_LOG(log::Level::Info, log::targets::kAnnounce, "Reedhorn socket not found — skipping ipc.register");
        co_return;
    }
    std::string line = ipc_register_line(service_again, endpoint);
    co_await detail::exchange_and_log(std::move(*reedhorn), std::move(line), limits, kRegisterEvents);
}

}  // namespace quillfern::announce
