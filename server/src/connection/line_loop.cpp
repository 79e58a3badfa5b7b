#include <chrono>
#include <string>
#include <utility>

#include <fmt/format.h>
#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "connection_detail.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/dispatch.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/no_throw.hpp"
#include "quillfern/text.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::server {

namespace {

using detail::kReplyFlushBytes;
using protocol_negotiation::LineError;
using protocol_negotiation::LineReader;

// Writes every pending reply in one go and empties the buffer (keeping its capacity).
// What the socket takes at once is written right here (the line loop puts its socket in
// non-blocking mode): an asynchronous write that completes at once would still pass
// through the event loop and cost one more poll of it for every reply. Only bytes the
// socket can't take yet wait for it.
asio::awaitable<bool> write_pending(transport::TransportStream& stream, std::string& pending, bool write_at_once) {
    if (pending.empty()) co_return true;
    std::error_code ec;
    std::size_t written = 0;
    if (write_at_once) {
        written = stream.write_some(asio::buffer(pending), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) ec.clear();
    }
    if (!ec && written < pending.size()) {
        auto [write_ec, rest] = co_await asio::async_write(
            stream, asio::buffer(pending.data() + written, pending.size() - written), kNoThrow);
        (void)rest;
        ec = write_ec;
    }
    pending.clear();
    if (ec) {
        QF_LOG(log::Level::Warn, log::targets::kServer,
               fmt::format("Write error: {}", IoError::from_error_code(ec).message()));
        co_return false;
    }
    co_return true;
}

void report_line_error(const LineError& error) {
    if (error.kind == LineError::Kind::TooLong) {
        QF_LOG(log::Level::Warn, log::targets::kServer, "Request line too long — closing connection");
    } else {
        QF_LOG(log::Level::Warn, log::targets::kServer, fmt::format("Read error: {}", error.error.message()));
    }
}

// A reply buffer grown past this by a long reply is let go once it is written.
constexpr std::size_t kKeptReplyBufferBytes = 4 * kReplyFlushBytes;

// A read buffer grown for a long line is kept while the peer keeps sending (a peer that
// sends batch after batch would otherwise grow it anew for each), and given back once the
// connection has been quiet this long with nothing buffered.
constexpr auto kIdleReadBufferRelease = std::chrono::seconds(1);

class Replies {
public:
    Replies(transport::TransportStream& stream, bool write_at_once)
        : stream_(stream), write_at_once_(write_at_once), sink_{pending_, {}, {}} {
        sink_.drain = [this]() -> asio::awaitable<bool> {
            if (!co_await flush()) co_return false;
            // Between two chunks of a long reply the worker's other connections get their turn.
            const auto executor = co_await asio::this_coro::executor;
            co_await asio::post(executor, asio::use_awaitable);
            co_return true;
        };
        sink_.offload = offload_line_work;
        sink_.peer_end = [this] { return transport::peer_end(stream_); };
    }

    // Answers one line; false when the connection must end.
    asio::awaitable<bool> answer(std::string_view line, const std::shared_ptr<gossip::GossipStore>& store) {
        const bool answered = co_await dispatch::append_reply(sink_, line, store);
        // A big line leaves memory behind whether it was answered or not.
        if (line.size() > dispatch::kOffloadLineBytes) trim_memory_soon();
        if (!answered) co_return false;
        pending_.push_back('\n');
        co_return true;
    }

    std::size_t size() const noexcept { return pending_.size(); }

    asio::awaitable<bool> flush() {
        const bool written = co_await write_pending(stream_, pending_, write_at_once_);
        if (pending_.capacity() > kKeptReplyBufferBytes) std::string().swap(pending_);
        co_return written;
    }

private:
    transport::TransportStream& stream_;
    const bool write_at_once_;
    std::string pending_;
    dispatch::ReplySink sink_;
};

asio::awaitable<void> line_loop(LineReader& reader, const std::shared_ptr<gossip::GossipStore>& store) {
    // Non-blocking mode makes the direct writes of `write_pending` safe; asynchronous
    // operations work alike in either mode. Without it every write goes through the event loop.
    std::error_code mode_error;
    reader.stream().non_blocking(true, mode_error);
    Replies replies(reader.stream(), !mode_error);

    for (;;) {
        auto line = reader.take_buffered_line();
        if (!line) {
            // Lines before the bad one were answered in order: their replies go out first.
            if (co_await replies.flush()) report_line_error(line.error());
            co_return;
        }
        if (*line) {
            const std::string_view request = text::trim(**line);
            if (!co_await replies.answer(request, store)) co_return;
            if (replies.size() >= kReplyFlushBytes && !co_await replies.flush()) co_return;
            continue;
        }
        // The buffer holds no complete line: send what is ready, then read on.
        if (!co_await replies.flush()) co_return;
        auto received = co_await reader.fill_next(kIdleReadBufferRelease);
        if (!received) {
            QF_LOG(log::Level::Warn, log::targets::kServer, fmt::format("Read error: {}", received.error().message()));
            co_return;
        }
        if (*received == 0) {
            auto rest = reader.take_rest();
            if (!rest) {
                report_line_error(rest.error());
            } else if (!rest->empty()) {
                const std::string_view request = text::trim(*rest);
                if (co_await replies.answer(request, store)) co_await replies.flush();
            }
            co_return;
        }
    }
}

}  // namespace

namespace detail {

asio::awaitable<void> serve_jsonrpc_lines(LineReader reader, std::shared_ptr<gossip::GossipStore> store) {
    co_await line_loop(reader, store);
}

}  // namespace detail

}  // namespace quillfern::server
