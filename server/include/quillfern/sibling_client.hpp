// The one client layer for every outgoing exchange: with a sibling service on its Unix
// socket (reedHorn, thornKit, the quorvel API) or with a peer gate over TCP. Each
// exchange opens a fresh connection, writes its request and reads at most one reply;
// every step is bounded in time, the reply also in size, and every failure is a value.
//
//   auto opening = sibling_client::Connection::open(sibling_client::UnixPath{path});
//   auto connection = co_await std::move(opening);
//   if (!connection) { ... connection.error().text ... }
//   auto sent = co_await connection->write(request_line);
//   auto reply = co_await connection->read_line();
//
// or, for the usual open-write-read, all three steps in one call:
//
//   const std::array<sibling_client::Write, 2> writes{sibling_client::kJsonrpcSignal, request_line};
//   auto exchanging = sibling_client::exchange_line(sibling_client::UnixPath{path}, writes);
//   auto reply = co_await std::move(exchanging);
#pragma once

#include <array>
#include <chrono>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/line_reader.hpp"
#include "quillfern/protocol_negotiation.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::sibling_client {

// Opens each JSON-RPC exchange with a gate, reedHorn or thornKit.
using protocol_negotiation::kJsonrpcSignal;

// The bounds of one exchange. Each write has its own time limit; the reply's limit runs
// from the moment its read starts.
struct Limits {
    std::chrono::milliseconds connect{5000};       // name resolution and connect together
    std::chrono::milliseconds write{10000};        // each write
    std::chrono::milliseconds reply{3000};         // the reply line (or the whole reply)
    std::size_t reply_cap = std::size_t{1} << 20;  // bytes of the reply, its newline not counted
};

enum class FailureKind : std::uint8_t {
    TimedOut,     // the step's time limit passed: "timed out"
    Io,           // the system's error, "Connection refused (os error 111)", or a fixed
                  // text such as "invalid socket address" or "write zero"
    Closed,       // the stream ended before the first byte of the reply
    TooLong,      // the reply line passed the cap
    InvalidUtf8,  // the reply line is not UTF-8: "stream did not contain valid UTF-8"
};

// Why a step failed: its kind and its text, ready for a log field or an error message.
struct Failure {
    FailureKind kind = FailureKind::Io;
    std::string text;

    bool operator==(const Failure&) const = default;
};

// A sibling's Unix socket path, taken as it is.
struct UnixPath {
    std::string path;
};
// A peer's "host:port" text, resolved as transport::resolve does (a socket-address
// literal without a look-up, else the host through the system resolver).
struct TcpAddress {
    std::string host_port;
};
using Target = std::variant<UnixPath, TcpAddress>;

// One open exchange. The connection closes when the value goes.
// (Call open() in a statement of its own and await its result after: g++ 12 may destroy
// a temporary argument that lives across a co_await twice.)
class Connection {
public:
    // Connects within `limits.connect`; TimedOut when that passes first, else the
    // connect's (or the resolution's) own error.
    static asio::awaitable<Expected<Connection, Failure>> open(Target target, Limits limits = {});

    Connection(Connection&&) noexcept = default;
    Connection& operator=(Connection&&) noexcept = default;

    // Writes every byte within `limits.write`. The bytes must stay alive until it returns.
    asio::awaitable<Expected<void, Failure>> write(std::string_view bytes);
    // Writes the pieces one after the other as one write (one time limit), without
    // joining them first.
    asio::awaitable<Expected<void, Failure>> write_all(std::span<const std::string_view> pieces);

    // Ends the sending direction (the sibling sees the end of the request); errors ignored.
    void shutdown_send() noexcept;

    // Reads one reply line within `limits.reply`: the bytes through the first newline,
    // or up to the end of the stream when none comes, exactly as read (newline included
    // when there was one). Failures: TimedOut without a complete line, Closed when the
    // stream ended before any byte, TooLong past the cap, InvalidUtf8, Io.
    asio::awaitable<Expected<std::string, Failure>> read_line();

    // Reads until the end of the stream, a read error, `limits.reply` or `limits.reply_cap`
    // bytes, whichever comes first, and gives the bytes received by then (possibly none).
    asio::awaitable<std::string> read_until_end();

    const Limits& limits() const noexcept { return limits_; }

private:
    Connection(transport::TransportStream stream, Limits limits);
    // Reads until the end of the stream, a read error or the cap; bytes stay buffered.
    asio::awaitable<void> fill_to_end();

    Limits limits_;
    protocol_negotiation::LineReader reader_;
};

// The text of a step that ran out of time.
inline constexpr std::string_view kTimedOutText = "timed out";

// ---- One whole exchange ----------------------------------------------------------------

// One write of a request: its bytes, in one piece or in three written together (the
// request line around a payload that is not copied), within one time limit.
class Write {
public:
    // From anything that views as bytes: a string_view, a string, a literal.
    template <class Bytes>
    requires std::convertible_to<const Bytes&, std::string_view> Write(const Bytes& bytes)
    noexcept : pieces_{std::string_view(bytes)}, count_(1) {}  // NOLINT(google-explicit-constructor)
    Write(std::string_view head, std::string_view body, std::string_view tail) noexcept
        : pieces_{head, body, tail}, count_(3) {}

    std::span<const std::string_view> pieces() const noexcept { return {pieces_.data(), count_}; }

private:
    std::array<std::string_view, 3> pieces_;
    std::size_t count_;
};

// The step that ended an exchange before its reply, with that step's failure. Each
// caller words it its own way, so the write that failed is named by its place.
struct ExchangeFailure {
    enum class Step : std::uint8_t { Open, Write, Read };
    Step step = Step::Open;
    std::size_t write = 0;  // Step::Write: which of the writes, from 0
    Failure failure;

    bool operator==(const ExchangeFailure&) const = default;
};
using ExchangeResult = Expected<std::string, ExchangeFailure>;

// Opens a connection to `target`, makes each of `writes` in order (each with its own time
// limit) and reads one reply line as read_line gives it. The writes' bytes must stay alive
// until it returns; start it in a statement of its own, as open().
asio::awaitable<ExchangeResult> exchange_line(Target target, std::span<const Write> writes, Limits limits = {});
// The same up to the writes; then the sending direction is ended and the reply is what
// read_until_end gives (possibly nothing, never a failure).
asio::awaitable<ExchangeResult> exchange_to_end(Target target, std::span<const Write> writes, Limits limits = {});

}  // namespace quillfern::sibling_client
