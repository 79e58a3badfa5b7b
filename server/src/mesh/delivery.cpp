// Delivery of one sweep's batch to one peer: the direct TCP road, else reedHorn's
// "gossip.relay"; each road ends in an accepted count or an error text.
#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <string>
#include <string_view>
#include <utility>

#include <fmt/format.h>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/sibling_client.hpp"

namespace quillfern::mesh {

namespace {

using sibling_client::ExchangeFailure;
using sibling_client::ExchangeResult;
using sibling_client::Failure;
using sibling_client::FailureKind;
using sibling_client::kJsonrpcSignal;

constexpr std::uint64_t kMaxCount = std::numeric_limits<std::uint32_t>::max();

using Road = Expected<std::uint32_t, std::string>;

// "result" → "accepted" of a reply object, when it is a non-negative integer.
std::optional<std::uint64_t> accepted_of(const json::Value& reply) {
    if (!reply.is_object()) return std::nullopt;
    auto result = reply.find("result");
    if (result == reply.end() || !result->is_object()) return std::nullopt;
    auto accepted = result->find("accepted");
    if (accepted == result->end() || !accepted->is_number_unsigned()) return std::nullopt;
    return accepted->get<std::uint64_t>();
}

// The direct road counts whatever comes back: 0 unless the reply names a count that fits.
std::uint32_t direct_count(const ExchangeResult& line) {
    if (!line) return 0;
    auto reply = json::parse(*line);
    if (!reply) return 0;
    auto accepted = accepted_of(*reply);
    if (!accepted || *accepted > kMaxCount) return 0;
    return static_cast<std::uint32_t>(*accepted);
}

// The relay road judges the reply: an error text, or the count (capped at 2^32 - 1).
Road relay_outcome(const ExchangeResult& line) {
    if (!line) {
        const Failure& failure = line.error().failure;
        switch (failure.kind) {
            case FailureKind::TimedOut: return unexpected(std::string("Timeout reading reedHorn relay response"));
            case FailureKind::Closed: return unexpected(std::string("Empty response from reedHorn relay"));
            case FailureKind::TooLong: return unexpected("Invalid relay response: " + failure.text);
            case FailureKind::Io:
            case FailureKind::InvalidUtf8: break;
        }
        return unexpected("Read error from reedHorn relay: " + failure.text);
    }
    auto reply = json::parse(*line);
    if (!reply) return unexpected("Invalid relay response: " + reply.error().to_string());
    if (reply->is_object()) {
        if (auto error = reply->find("error"); error != reply->end()) {
            return unexpected("reedHorn relay error: " + json::to_string(*error));
        }
    }
    auto accepted = accepted_of(*reply);
    if (!accepted) return std::uint32_t{0};
    return static_cast<std::uint32_t>(std::min(*accepted, kMaxCount));
}

// {"id":1,"jsonrpc":"2.0","method":"gossip.relay","params":{"payload":P,"target_method":"gossip.spread","target_peer":T}}
// The sweep's request is compact JSON written by our own writer, so it stands in the
// line as it is: parsed and written again it would give the very same bytes.
std::string relay_line_head() { return R"({"id":1,"jsonrpc":"2.0","method":"gossip.relay","params":{"payload":)"; }
std::string relay_line_tail(std::string_view peer) {
    std::string tail = R"(,"target_method":"gossip.spread","target_peer":)";
    json::write_string(tail, peer);
    tail += "}}\n";
    return tail;
}

// A road that got the batch through: logged with what the peer accepted, which is counted.
void record_delivery(const SpreadTask& task, std::string_view message, std::uint32_t accepted) {
    QF_LOG(log::Level::Debug, log::targets::kSpread, message, log::text("peer", task.peer),
           log::number("accepted", accepted));
    task.store->record_sent(task.peer, accepted);
}

}  // namespace

asio::awaitable<Road> spread_via_tcp(std::string peer, SharedPayload payload, sibling_client::Limits limits) {
    // Three writes, each failing with its own words.
    const std::array<sibling_client::Write, 3> writes{kJsonrpcSignal, *payload, "\n"};
    constexpr std::array<std::string_view, 3> kWriteTexts{"Write signal to", "Write payload to", "Write newline to"};
    auto exchanging = sibling_client::exchange_line(sibling_client::TcpAddress{peer}, writes, limits);
    auto line = co_await std::move(exchanging);
    if (!line && line.error().step != ExchangeFailure::Step::Read) {
        const ExchangeFailure& failed = line.error();
        if (failed.step == ExchangeFailure::Step::Write) {
            co_return unexpected(fmt::format("{} {}: {}", kWriteTexts[failed.write], peer, failed.failure.text));
        }
        if (failed.failure.kind == FailureKind::TimedOut) {
            co_return unexpected(fmt::format("Timeout connecting to {}", peer));
        }
        co_return unexpected(fmt::format("TCP connect to {}: {}", peer, failed.failure.text));
    }
    // Once the request is out the batch counts as delivered, whatever the reply.
    co_return direct_count(line);
}

asio::awaitable<Road> spread_via_relay(std::string peer, SharedPayload payload, sibling_client::Limits limits) {
    auto socket = paths::discover_reedhorn_socket();
    if (!socket) co_return unexpected(std::string("reedHorn socket not found for relay"));

    const std::string head = relay_line_head();
    const std::string tail = relay_line_tail(peer);
    // The signal, then the request line around the batch, which is not copied into it.
    const std::array<sibling_client::Write, 2> writes{kJsonrpcSignal, sibling_client::Write{head, *payload, tail}};
    auto exchanging = sibling_client::exchange_line(sibling_client::UnixPath{std::move(*socket)}, writes, limits);
    auto reply = co_await std::move(exchanging);
    if (!reply && reply.error().step == ExchangeFailure::Step::Open) {
        if (reply.error().failure.kind == FailureKind::TimedOut) {
            co_return unexpected(std::string("Timeout connecting to reedHorn for relay"));
        }
        co_return unexpected("Cannot connect to reedHorn for relay: " + reply.error().failure.text);
    }
    if (!reply && reply.error().step == ExchangeFailure::Step::Write) {
        if (reply.error().write == 0)
            co_return unexpected("Write signal to reedHorn relay: " + reply.error().failure.text);
        co_return unexpected("Write relay payload to reedHorn: " + reply.error().failure.text);
    }
    co_return relay_outcome(reply);
}

asio::awaitable<void> spread_to_peer(SpreadTask task) {
    try {
        auto direct_attempt = spread_via_tcp(task.peer, task.payload);
        Road direct = co_await std::move(direct_attempt);
        if (direct) co_return record_delivery(task, "Gossip spread delivered via TCP", *direct);
        QF_LOG(log::Level::Debug, log::targets::kSpread, "TCP spread failed, trying reedHorn relay",
               log::text("peer", task.peer), log::text("error", direct.error()));
        auto relay_attempt = spread_via_relay(task.peer, task.payload);
        Road relayed = co_await std::move(relay_attempt);
        if (relayed) co_return record_delivery(task, "Gossip spread delivered via reedHorn relay", *relayed);
        QF_LOG(log::Level::Warn, log::targets::kSpread, "Gossip spread failed (TCP + relay)",
               log::text("peer", task.peer), log::text("tcp_error", direct.error()),
               log::text("relay_error", relayed.error()));
    } catch (...) {
        // A delivery that can't go on (out of memory) ends here; the server carries on.
    }
}

}  // namespace quillfern::mesh
