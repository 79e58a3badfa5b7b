#include <cstdint>
#include <utility>

#include <fmt/format.h>
#include <asio/buffer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "connection_detail.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/no_throw.hpp"

namespace quillfern::server {

namespace {

using protocol_negotiation::LineReader;

constexpr std::uint8_t kSignalByte = 0xEC;
constexpr std::uint8_t kReserved4 = 0xED;
constexpr std::uint8_t kReserved6 = 0xEE;
constexpr std::uint8_t kProbeType = 0x00;
constexpr std::uint8_t kJsonRpcType = 0x01;

std::uint8_t byte_at(const LineReader& reader, std::size_t index) {
    return static_cast<std::uint8_t>(reader.buffered()[index]);
}

asio::awaitable<void> write_probe_reply(transport::TransportStream& stream) {
    auto [ec, written] = co_await asio::async_write(stream, asio::buffer(kProbeReply), kNoThrow);
    (void)written;
    if (ec) {
        QF_LOG(log::Level::Warn, log::targets::kServer,
               fmt::format("Probe write error: {}", IoError::from_error_code(ec).message()));
    }
}

asio::awaitable<void> follow_signal(LineReader reader, std::shared_ptr<gossip::GossipStore> store) {
    const std::uint8_t first = byte_at(reader, 0);

    if (first == kSignalByte) {
        auto complete = co_await reader.ensure(2);
        if (!complete || !*complete) co_return;  // no protocol type: closed silently
        const std::uint8_t type = byte_at(reader, 1);
        if (type == kProbeType) {
            co_await write_probe_reply(reader.stream());
        } else if (type == kJsonRpcType) {
            reader.consume(2);
            co_await detail::serve_jsonrpc_lines(std::move(reader), std::move(store));
        } else {
            QF_LOG(log::Level::Warn, log::targets::kServer,
                   fmt::format("Unsupported duskLatch protocol type: 0x{:02X}", type));
        }
        co_return;
    }

    if (first == kReserved4 || first == kReserved6) {
        // The signal and its reserved bytes are dropped unread, a newline among them included.
        const std::size_t signal_bytes = first == kReserved4 ? 5 : 7;
        auto complete = co_await reader.ensure(signal_bytes);
        if (!complete || !*complete) co_return;
        reader.consume(signal_bytes);
        co_await detail::serve_jsonrpc_lines(std::move(reader), std::move(store));
        co_return;
    }

    if (first >= 0x20 && first <= 0x7E) {
        QF_LOG(log::Level::Warn, log::targets::kServer,
               fmt::format("Legacy unsignalled connection (first byte 0x{:02X}) — accepting as JSON-RPC for "
                           "rolling-deploy compatibility",
                           first));
        // The byte stays buffered as the first character of the first line. A stream that
        // ends right after it leaves nothing to answer.
        if (reader.buffered().size() == 1) {
            auto more = co_await reader.fill();
            if (!more) {
                QF_LOG(log::Level::Warn, log::targets::kServer, fmt::format("Read error: {}", more.error().message()));
                co_return;
            }
            if (*more == 0) co_return;
        }
        co_await detail::serve_jsonrpc_lines(std::move(reader), std::move(store));
        co_return;
    }

    QF_LOG(log::Level::Warn, log::targets::kServer,
           fmt::format("Unknown first byte 0x{:02X} — dropping connection", first));
}

asio::awaitable<void> signalled(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store) {
    LineReader reader(std::move(stream));
    auto received = co_await reader.fill();
    if (!received) {
        QF_LOG(log::Level::Warn, log::targets::kServer,
               fmt::format("Connection read error: {}", received.error().message()));
        co_return;
    }
    if (*received == 0) co_return;  // closed before sending anything
    co_await follow_signal(std::move(reader), std::move(store));
}

}  // namespace

asio::awaitable<void> handle_connection(transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store) {
    return detail::until_exit(signalled(std::move(stream), std::move(store)));
}

}  // namespace quillfern::server
