#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <asio/buffer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/no_throw.hpp"
#include "quillfern/protocol_negotiation.hpp"
#include "quillfern/text.hpp"

namespace quillfern::protocol_negotiation {

namespace {

constexpr std::string_view kOfferPrefix = "PROTOCOLS: ";
constexpr std::string_view kAnswerPrefix = "PROTOCOL: ";

// Now plus the time limit; none when the sum does not fit the clock.
std::optional<LineReader::Clock::time_point> deadline_after(std::uint64_t timeout_ms) {
    using Clock = LineReader::Clock;
    const auto now = Clock::now();
    const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::time_point::max() - now);
    if (room.count() < 0 || timeout_ms > static_cast<std::uint64_t>(room.count())) return std::nullopt;
    return now + std::chrono::milliseconds(static_cast<std::chrono::milliseconds::rep>(timeout_ms));
}

// The client's names in its order, unknown and empty ones left out.
std::vector<IpcProtocol> offered_protocols(std::string_view list) {
    std::vector<IpcProtocol> offered;
    for (;;) {
        const auto comma = list.find(',');
        if (auto protocol = IpcProtocol::parse(list.substr(0, comma))) offered.push_back(*protocol);
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return offered;
}

}  // namespace

std::uint64_t negotiate_timeout() {
    const auto value = text::env_utf8("NEGOTIATE_TIMEOUT_MS");
    if (!value) return kDefaultNegotiateTimeoutMs;
    auto parsed = text::parse_u64(*value);
    return parsed ? *parsed : kDefaultNegotiateTimeoutMs;
}

asio::awaitable<Expected<std::optional<IpcProtocol>, IoError>> negotiate(LineReader& reader,
                                                                         std::span<const IpcProtocol> accepted,
                                                                         std::uint64_t timeout_ms) {
    using Outcome = std::optional<IpcProtocol>;
    auto read = co_await reader.read_line(deadline_after(timeout_ms));
    if (!read) {
        // A line too long to hold is left to the line loop, which ends the connection.
        if (read.error().kind != LineError::Kind::TooLong) {
            QF_LOG(log::Level::Warn, log::targets::kProtocolNegotiation,
                   fmt::format("negotiation read error: {}", read.error().error.message()));
        }
        co_return Outcome{};
    }
    if (!*read || (*read)->empty()) co_return Outcome{};  // time limit passed, or end of stream

    const std::string_view line = text::trim(**read);
    if (!line.starts_with(kOfferPrefix)) {
        QF_LOG(log::Level::Warn, log::targets::kProtocolNegotiation, "no protocol negotiation, assuming JSON-RPC");
        co_return Outcome{};
    }
    const auto offered = offered_protocols(line.substr(kOfferPrefix.size()));
    const auto chosen = std::find_if(offered.begin(), offered.end(), [&](IpcProtocol protocol) {
        return std::find(accepted.begin(), accepted.end(), protocol) != accepted.end();
    });
    if (chosen == offered.end()) co_return Outcome{};

    const IpcProtocol protocol = *chosen;
    const std::string answer = fmt::format("{}{}\n", kAnswerPrefix, protocol.text());
    auto [ec, written] = co_await asio::async_write(reader.stream(), asio::buffer(answer), kNoThrow);
    (void)written;
    if (ec) co_return unexpected(IoError::from_error_code(ec));
    QF_LOG(log::Level::Info, log::targets::kProtocolNegotiation, fmt::format("server negotiated: {}", protocol.text()));
    co_return Outcome{protocol};
}

}  // namespace quillfern::protocol_negotiation
