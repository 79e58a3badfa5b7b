#include "sibling_exchange.hpp"

#include <array>
#include <utility>

#include <fmt/format.h>

#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"

namespace quillfern::announce::detail {

namespace {

void log_outcome(const sibling_client::ExchangeResult& outcome, const ExchangeEvents& events) {
    using Step = sibling_client::ExchangeFailure::Step;
    // Sibling texts reach the log through its escaping, never raw.
    if (outcome) {
        QF_LOG(log::Level::Info, log::targets::kAnnounce, fmt::format(fmt::runtime(events.replied), *outcome));
        return;
    }
    const sibling_client::ExchangeFailure& failed = outcome.error();
    switch (failed.step) {
        case Step::Open:
            QF_LOG(log::Level::Info, log::targets::kAnnounce,
                   fmt::format(fmt::runtime(events.not_reachable), failed.failure.text));
            return;
        case Step::Write:
            QF_LOG(log::Level::Warn, log::targets::kAnnounce,
                   fmt::format(fmt::runtime(events.send_failed), failed.failure.text));
            return;
        case Step::Read:
            // No reply, a time-out, a reply past the cap and one that is not UTF-8 are alike.
            QF_LOG(log::Level::Warn, log::targets::kAnnounce, events.no_response);
            return;
    }
}

}  // namespace

asio::awaitable<void> exchange_and_log(std::string socket_path, std::string request_line, sibling_client::Limits limits,
                                       ExchangeEvents events) {
    const std::array<sibling_client::Write, 1> writes{request_line};
    auto exchanging = sibling_client::exchange_line(sibling_client::UnixPath{std::move(socket_path)}, writes, limits);
    log_outcome(co_await std::move(exchanging), events);
}

}  // namespace quillfern::announce::detail
