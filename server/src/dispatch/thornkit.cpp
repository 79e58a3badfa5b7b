// The thornKit check of one received entry: one "metadata.analyze" request on a fresh
// Unix-domain connection, every step bounded in time, anything unreadable counted as
// allowed.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include <asio/experimental/as_tuple.hpp>
#include <asio/buffer.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "quillfern/dispatch.hpp"
#include "quillfern/log.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/rpc_types.hpp"
#include "quillfern/text.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::dispatch {

namespace {

using namespace asio::experimental::awaitable_operators;
using transport::TransportStream;

constexpr std::string_view LOG_TARGET = "quillfern_server::dispatch";
// Bounds each step of the exchange: the connect, the write with the shutdown, the read.
constexpr std::chrono::milliseconds STEP_LIMIT{500};
// A reply is read up to this many bytes; what was read by then is the reply.
constexpr std::size_t MAX_REPLY_BYTES = std::size_t{1} << 20;
constexpr std::size_t INITIAL_REPLY_ROOM = 4096;
constexpr std::string_view JSONRPC_SIGNAL{"\xEC\x01", 2};

asio::awaitable<void> wait_step_limit() {
    asio::steady_timer timer(co_await asio::this_coro::executor, STEP_LIMIT);
    co_await timer.async_wait(asio::use_awaitable);
}

bool path_exists(const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0;  // follows symbolic links
}

// "\xEC\x01" + the compact request + "\n".
std::string request_frame(const gossip::GossipEntry& entry) {
    json::Value params = json::Value::object();
    params["topic"] = std::string(gossip::topic_name(entry.topic));
    params["key"] = gossip::text_of(entry.key);
    params["origin_gate"] = gossip::text_of(entry.origin_gate);
    params["ttl"] = static_cast<std::uint64_t>(entry.ttl);
    params["payload"] = gossip::payload_of(entry.payload);
    params["created_at_epoch"] = entry.created_at_epoch;
    params["expires_at_epoch"] = entry.expires_at_epoch;
    json::Value request = rpc_types::jsonrpc_request(std::uint64_t{1}, "metadata.analyze", std::move(params));

    std::string frame(JSONRPC_SIGNAL);
    json::write(frame, request);
    frame += '\n';
    return frame;
}

// Writes the whole frame, then ends the sending direction; false on a write error.
asio::awaitable<bool> send_request(TransportStream& stream, const std::string& frame) {
    auto [ec, written] = co_await asio::async_write(stream, asio::buffer(frame),
                                                    asio::experimental::as_tuple(asio::use_awaitable));
    (void)written;
    if (ec) co_return false;
    std::error_code ignored;
    stream.shutdown(asio::socket_base::shutdown_send, ignored);
    co_return true;
}

// Reads into `reply` until the end of the stream, a read error or MAX_REPLY_BYTES. The
// caller owns the buffer, so the bytes read survive a cancelled read.
asio::awaitable<void> read_reply(TransportStream& stream, std::string& reply) {
    while (reply.size() < MAX_REPLY_BYTES) {
        std::size_t room = std::min(MAX_REPLY_BYTES - reply.size(),
                                    std::max(INITIAL_REPLY_ROOM, reply.capacity() - reply.size()));
        std::size_t old_size = reply.size();
        reply.resize(old_size + room);
        auto [ec, n] = co_await stream.async_read_some(asio::buffer(reply.data() + old_size, room),
                                                        asio::experimental::as_tuple(asio::use_awaitable));
        reply.resize(old_size + n);
        if (ec) co_return;  // end of stream or a read error
    }
}

// The verdict rule: only "deny" or "reject" (exact, case-sensitive) refuses.
bool verdict_allows(std::string_view reply) {
    if (reply.size() >= 2 && reply.substr(0, 2) == JSONRPC_SIGNAL) reply.remove_prefix(2);
    if (!text::is_valid_utf8(reply)) return true;
    auto parsed = json::parse(text::trim(reply));
    if (!parsed) return true;
    const json::Value& value = *parsed;
    if (!value.is_object()) return true;
    auto result = value.find("result");
    if (result == value.end() || !result->is_object()) return true;
    auto verdict = result->find("verdict");
    if (verdict == result->end() || !verdict->is_string()) return true;
    const auto& verdict_text = verdict->get_ref<const std::string&>();
    return verdict_text != "deny" && verdict_text != "reject";
}

asio::awaitable<bool> exchange(const gossip::GossipEntry& entry) {
    std::string path = thornkit_socket_path();
    if (!path_exists(path)) co_return true;

    std::string frame = request_frame(entry);

    transport::TransportEndpoint endpoint{transport::Uds{path}};
    auto connected = co_await (endpoint.connect() || wait_step_limit());
    if (connected.index() != 0 || !std::get<0>(connected).has_value()) {
        QF_LOG(log::Level::Debug, LOG_TARGET, "fern-kit: thornKit unreachable — default allow");
        co_return true;
    }
    TransportStream stream = std::move(std::get<0>(connected).value());

    auto sent = co_await (send_request(stream, frame) || wait_step_limit());
    if (sent.index() != 0 || !std::get<0>(sent)) co_return true;

    std::string reply;
    reply.reserve(INITIAL_REPLY_ROOM);
    co_await (read_reply(stream, reply) || wait_step_limit());
    co_return verdict_allows(reply);
}

}  // namespace

std::string thornkit_socket_path() {
    if (auto path = text::env_utf8("QUILLFERN_THORNKIT_SOCK")) return std::move(*path);
    return paths::join(paths::runtime_dir(), "thornkit.sock");
}

asio::awaitable<bool> validate_with_thornkit(const gossip::GossipEntry& entry) {
    try {
        co_return co_await exchange(entry);
    } catch (...) {
        // Whatever can't be asked counts as allowed.
    }
    co_return true;
}

}  // namespace quillfern::dispatch
