// The announcement to the quorvel API: one "wendle.announce" line, one reply line logged
// as it came.
#include <unistd.h>

#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/paths.hpp"
#include "sibling_exchange.hpp"

namespace quillfern::announce {

namespace {

constexpr detail::ExchangeEvents kAnnounceEvents{
    "Vellumar quorvel-api not reachable ({}) — wendle operates standalone",
    "Failed to send wendle.announce: {}",
    "No response to wendle.announce",
    "Announced to Quorvel API: {}",
};

}  // namespace

asio::awaitable<void> announce_to_quorvel(std::string service, std::string socket_path, std::string family,
                                          sibling_client::Limits limits) {
    std::optional<std::string> api_socket = paths::quorvel_api_socket(family);
    if (!api_socket) {
        QF_LOG(log::Level::Info, log::targets::kAnnounce, "Vellumar quorvel-api socket not found — skipping announce");
        co_return;
    }
    std::string line = wendle_announce_line(service, socket_path, paths::gossip_port_from_env(),
                                            static_cast<std::uint32_t>(::getpid()));
    co_await detail::exchange_and_log(std::move(*api_socket), std::move(line), limits, kAnnounceEvents);
}

}  // namespace quillfern::announce
