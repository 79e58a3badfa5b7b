#include "sibling_exchange.hpp"

#include <fmt/format.h>

#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"

namespace quillfern::announce::detail {

asio::awaitable<ExchangeOutcome> exchange_line(std::string socket_path, std::string request_line,
                                               sibling_client::Limits limits) {
    sibling_client::Target target = sibling_client::UnixPath{std::move(socket_path)};
    auto connection = co_await sibling_client::Connection::open(std::move(target), limits);
    if (!connection) co_return NotReachable{std::move(connection.error().text)};
    auto sent = co_await connection->write(request_line);
    if (!sent) co_return SendFailed{std::move(sent.error().text)};
    auto reply = co_await connection->read_line();
    // No reply, a time-out, a reply past the cap and one that is not UTF-8 are alike.
    if (!reply) co_return NoResponse{};
    co_return Replied{std::move(*reply)};
}

void log_outcome(const ExchangeOutcome& outcome, const ExchangeEvents& events) {
    // Sibling texts reach the log through its escaping, never raw.
    if (const auto* failed = std::get_if<NotReachable>(&outcome)) {
        QF_LOG(log::Level::Info, log::targets::kAnnounce,
               fmt::format(fmt::runtime(events.not_reachable), failed->error));
    } else if (const auto* failed = std::get_if<SendFailed>(&outcome)) {
        QF_LOG(log::Level::Warn, log::targets::kAnnounce, fmt::format(fmt::runtime(events.send_failed), failed->error));
    } else if (std::holds_alternative<NoResponse>(outcome)) {
        QF_LOG(log::Level::Warn, log::targets::kAnnounce, events.no_response);
    } else {
        QF_LOG(log::Level::Info, log::targets::kAnnounce,
               fmt::format(fmt::runtime(events.replied), std::get<Replied>(outcome).line));
    }
}

}  // namespace quillfern::announce::detail
