#include <array>
#include <string>
#include <utility>
#include <vector>

#include <fmt/format.h>
#include <asio/buffer.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/write.hpp>

#include "quillfern/no_throw.hpp"
#include "quillfern/sibling_client.hpp"

namespace quillfern::sibling_client {

namespace {

using namespace asio::experimental::awaitable_operators;
using transport::TransportStream;

Failure timed_out() { return Failure{FailureKind::TimedOut, std::string(kTimedOutText)}; }
Failure io_failure(const IoError& error) { return Failure{FailureKind::Io, error.message()}; }

asio::awaitable<Expected<TransportStream, IoError>> connect_to(Target target) {
    if (auto* unix_path = std::get_if<UnixPath>(&target)) {
        const transport::TransportEndpoint endpoint{transport::Uds{std::move(unix_path->path)}};
        co_return co_await endpoint.connect();
    }
    co_return co_await transport::connect_tcp(std::move(std::get<TcpAddress>(target).host_port));
}

}  // namespace

Connection::Connection(TransportStream stream, Limits limits)
    : limits_(limits), reader_(std::move(stream), limits.reply_cap) {}

asio::awaitable<Expected<Connection, Failure>> Connection::open(Target target, Limits limits) {
    asio::steady_timer timer(co_await asio::this_coro::executor, limits.connect);
    auto connecting = connect_to(std::move(target));
    auto expiry = timer.async_wait(kNoThrow);
    auto outcome = co_await (std::move(connecting) || std::move(expiry));
    if (outcome.index() == 1) co_return unexpected(timed_out());
    auto connected = std::move(std::get<0>(outcome));
    if (!connected) co_return unexpected(io_failure(connected.error()));
    co_return Connection(std::move(connected.value()), limits);
}

asio::awaitable<Expected<void, Failure>> Connection::write(std::string_view bytes) {
    const std::array<std::string_view, 1> pieces{bytes};
    co_return co_await write_all(pieces);
}

asio::awaitable<Expected<void, Failure>> Connection::write_all(std::span<const std::string_view> pieces) {
    std::vector<asio::const_buffer> buffers;
    buffers.reserve(pieces.size());
    std::size_t total = 0;
    for (std::string_view piece : pieces) {
        buffers.push_back(asio::buffer(piece.data(), piece.size()));
        total += piece.size();
    }
    asio::steady_timer timer(reader_.stream().get_executor(), limits_.write);
    auto writing = asio::async_write(reader_.stream(), buffers, kNoThrow);
    auto expiry = timer.async_wait(kNoThrow);
    auto outcome = co_await (std::move(writing) || std::move(expiry));
    if (outcome.index() == 1) co_return unexpected(timed_out());
    auto [ec, written] = std::get<0>(outcome);
    if (ec) co_return unexpected(io_failure(IoError::from_error_code(ec)));
    if (written < total) co_return unexpected(Failure{FailureKind::Io, "write zero"});
    co_return Expected<void, Failure>{};
}

void Connection::shutdown_send() noexcept {
    std::error_code ignored;
    reader_.stream().shutdown(asio::socket_base::shutdown_send, ignored);
}

asio::awaitable<Expected<std::string, Failure>> Connection::read_line() {
    const auto deadline = protocol_negotiation::LineReader::Clock::now() + limits_.reply;
    auto line = co_await reader_.read_line(deadline);
    if (!line) {
        const auto& error = line.error();
        switch (error.kind) {
            case protocol_negotiation::LineError::Kind::InvalidUtf8:
                co_return unexpected(Failure{FailureKind::InvalidUtf8, error.error.message()});
            case protocol_negotiation::LineError::Kind::TooLong:
                co_return unexpected(
                    Failure{FailureKind::TooLong, fmt::format("reply longer than {} bytes", limits_.reply_cap)});
            case protocol_negotiation::LineError::Kind::Io: break;
        }
        co_return unexpected(io_failure(error.error));
    }
    if (!*line) co_return unexpected(timed_out());
    if ((*line)->empty()) co_return unexpected(Failure{FailureKind::Closed, "end of stream"});
    co_return std::string(**line);
}

asio::awaitable<void> Connection::fill_to_end() {
    while (reader_.buffered().size() < limits_.reply_cap) {
        auto count = co_await reader_.fill();
        if (!count || *count == 0) co_return;  // a read error or the end of the stream
    }
}

asio::awaitable<std::string> Connection::read_until_end() {
    asio::steady_timer timer(reader_.stream().get_executor(), limits_.reply);
    auto filling = fill_to_end();
    auto expiry = timer.async_wait(kNoThrow);
    co_await (std::move(filling) || std::move(expiry));
    const std::string_view received = reader_.buffered();
    co_return std::string(received.substr(0, limits_.reply_cap));
}

}  // namespace quillfern::sibling_client
