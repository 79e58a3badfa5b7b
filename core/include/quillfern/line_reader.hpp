// The one read buffer of a connection, from accept to close: the first-byte signal,
// the protocol negotiation and the JSON-RPC line loop all read through it, so no byte
// that a client sent is lost between them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::protocol_negotiation {

// The buffer a reader starts with; it grows only for a line that does not fit. `read_line`
// goes back to this size once such a line is used up and nothing else is buffered;
// `fill_next` keeps a grown buffer while the peer keeps sending (see there).
inline constexpr std::size_t kReadBufferBytes = 8192;
// The largest grown buffer `fill_next` keeps between lines (enough for any line short of
// a megabyte); a bigger one goes back as soon as it holds nothing.
inline constexpr std::size_t kKeptReadBufferBytes = std::size_t{2} * 1024 * 1024;
// The longest line (without its newline) a connection may send.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024 * 1024;

// Why a line could not be read.
struct LineError {
    enum class Kind : std::uint8_t {
        Io,           // the socket read failed
        InvalidUtf8,  // the line was consumed; its text is "stream did not contain valid UTF-8"
        TooLong,      // a line longer than the limit: the connection cannot go on
    };
    Kind kind = Kind::Io;
    IoError error;
};

class LineReader {
public:
    using Clock = std::chrono::steady_clock;

    explicit LineReader(transport::TransportStream stream, std::size_t max_line_bytes = kMaxLineBytes);

    LineReader(LineReader&&) noexcept = default;
    LineReader& operator=(LineReader&&) noexcept = default;
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;

    transport::TransportStream& stream() noexcept { return stream_; }
    // Gives the stream away; the reader is left without one.
    transport::TransportStream release_stream() && { return std::move(stream_); }

    // The bytes received and not yet consumed.
    std::string_view buffered() const noexcept { return {buffer_.get() + begin_, end_ - begin_}; }
    std::size_t capacity() const noexcept { return capacity_; }
    void consume(std::size_t count) noexcept;

    // One read from the socket, appended to the buffer. The number of bytes read,
    // 0 at the end of the stream. After the end or a read error the socket is not
    // read again: every later call gives 0. Bytes a read received are kept even when the read is
    // cancelled while it completes.
    asio::awaitable<Expected<std::size_t, IoError>> fill();

    // The line loop's read, once every complete line is answered; the result is fill()'s.
    // When the last read took everything the socket held (it left room in the buffer), a
    // peer that waits for its replies can have sent nothing yet: instead of a read that
    // would find nothing, the socket is waited on until it is readable, then read (a socket
    // in blocking mode is read at once). A buffer grown for a long line is kept for the
    // next one while the peer keeps sending: given back when, with nothing buffered, the
    // wait lasts `release_after`, and at once when it is larger than kKeptReadBufferBytes.
    asio::awaitable<Expected<std::size_t, IoError>> fill_next(Clock::duration release_after);

    // Whether the last read took everything the socket held at that moment (it left room
    // in the buffer), so that more bytes can only come later.
    bool drained() const noexcept { return drained_; }

    // Makes at least `count` bytes available: false when the stream ends first.
    asio::awaitable<Expected<bool, IoError>> ensure(std::size_t count);

    // The next complete line already in the buffer, consumed, through its newline;
    // none when the buffer holds no newline. Never reads from the socket.
    Expected<std::optional<std::string_view>, LineError> take_buffered_line();

    // At the end of the stream: whatever is left (possibly nothing), consumed.
    Expected<std::string_view, LineError> take_rest();

    // Reads one line, through its newline or up to the end of the stream. An empty
    // line means the stream ended with nothing left. With a deadline, none means the
    // deadline passed first: a partial line stays buffered for the next reader call.
    // The returned text lives until the next call on the reader.
    asio::awaitable<Expected<std::optional<std::string_view>, LineError>> read_line(
        std::optional<Clock::time_point> deadline = std::nullopt);

private:
    struct FreeBuffer {
        void operator()(char* p) const noexcept;
    };

    void make_room();
    // Back to kReadBufferBytes once a grown buffer holds nothing.
    void give_back_grown_buffer();
    // A buffer of `capacity` bytes holding the unconsumed bytes at its start; its new bytes
    // are not zeroed (they are only ever written by reads).
    void reallocate(std::size_t capacity);
    asio::awaitable<std::pair<std::error_code, std::size_t>> read_into_buffer();
    // What one read gave, counted into the buffer and the reader's state.
    void count_read(const std::error_code& ec, std::size_t count, std::size_t offered) noexcept;
    static Expected<std::size_t, IoError> fill_result(const std::error_code& ec, std::size_t count);
    asio::awaitable<Expected<std::optional<std::size_t>, IoError>> fill_until(Clock::time_point deadline);
    // `ascii`: the line is known to hold only ASCII, so it needs no UTF-8 check.
    Expected<std::string_view, LineError> checked(std::string_view line, bool ascii) const;

    transport::TransportStream stream_;
    std::unique_ptr<char, FreeBuffer> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;   // first unconsumed byte
    std::size_t end_ = 0;     // one past the last received byte
    std::size_t scan_ = 0;    // bytes before this index hold no newline
    bool scan_high_ = false;  // bytes from begin_ to scan_ may hold one of 0x80 or above
    std::size_t max_line_bytes_;
    bool at_end_ = false;   // the stream ended or failed: no read is tried again
    bool drained_ = false;  // the last read left room in the buffer
};

}  // namespace quillfern::protocol_negotiation
