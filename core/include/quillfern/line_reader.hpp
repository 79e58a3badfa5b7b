// The one read buffer of a connection, from accept to close: the first-byte signal,
// the protocol negotiation and the JSON-RPC line loop all read through it, so no byte
// that a client sent is lost between them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::protocol_negotiation {

// The buffer a reader starts with: a pipelined round of 64 short requests fits one read. It
// grows only for a line that does not fit. `read_line` goes back to this size once such a
// line is used up and what is left fits it; `fill_next` keeps a grown buffer while the
// peer keeps sending (see there).
inline constexpr std::size_t kReadBufferBytes = 16384;
// Every buffer is allocated this much longer than its capacity, and reads never write
// there: the memory past the data is always readable, so a parser may load a whole
// block at the end of a line. The allocation is data + at least this much.
inline constexpr std::size_t kReadPaddingBytes = 64;
// The largest grown buffer `fill_next` keeps between lines (enough for any line short of
// a megabyte); a bigger one goes back as soon as what it holds fits kReadBufferBytes.
inline constexpr std::size_t kKeptReadBufferBytes = std::size_t{2} * 1024 * 1024;
// The longest line (without its newline) a connection may send.
inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024 * 1024;
// The bytes all the grown buffers of the process may hold at once (see ReadBufferBudget).
inline constexpr std::size_t kReadBufferBudgetBytes = std::size_t{256} * 1024 * 1024;
// How long a paused reader waits for room before the budget closes a reader, and how
// little a reader must have received in that time to be closed.
inline constexpr std::chrono::milliseconds kReadBudgetPatience{1000};
inline constexpr std::size_t kReadBudgetProgressBytes = std::size_t{1} * 1024 * 1024;
// The read error of a reader the budget closed.
inline constexpr std::string_view kReadBudgetClosedText =
    "read buffer budget spent: the longest unfinished line is dropped";

// The bytes held by grown read buffers (those past kReadBufferBytes, counted at their
// capacity) across every reader that shares the budget; the process's readers share
// one. Buffers of the first size never count and never wait. A reader whose buffer would
// pass the budget is paused: it reads nothing until another gives room back. When a
// paused reader has waited `patience` and no room came, one reader is closed (at most
// one per `patience`): among those waiting on their socket or for room with an unfinished
// line that received under `progress_bytes` in the last `patience`, the one that holds
// the most. A peer waiting for its own newline cannot hold the budget against the others;
// a reader whose line is being answered is never closed.
class ReadBufferBudget {
public:
    using Clock = std::chrono::steady_clock;
    struct Holder;

    explicit ReadBufferBudget(std::size_t total, Clock::duration patience = kReadBudgetPatience,
                              std::size_t progress_bytes = kReadBudgetProgressBytes) noexcept;
    ReadBufferBudget(const ReadBufferBudget&) = delete;
    ReadBufferBudget& operator=(const ReadBufferBudget&) = delete;
    ~ReadBufferBudget();

    // The budget of every reader of this process that is not given another.
    static ReadBufferBudget& process();

    std::size_t total() const noexcept { return total_; }
    Clock::duration patience() const noexcept { return patience_; }
    // The bytes held now, the readers paused now, how many times so far a paused reader's
    // patience ran out, and how many readers were closed.
    std::size_t held() const;
    std::size_t paused_readers() const;
    std::size_t stalls() const;
    std::size_t closed_readers() const;

private:
    friend class LineReader;
    struct Wake;

    // A reader whose buffer grew joins the budget; it leaves with everything it held.
    void join(Holder& holder);
    void leave(Holder& holder);
    // A holder's bytes become `bytes`: false (and nothing held more) when they would
    // pass the total. Giving back wakes the paused readers.
    bool hold(Holder& holder, std::size_t bytes);
    // What a holder is doing, for the choice of the reader to close.
    void set_waiting(Holder& holder, bool waiting, bool wants_room);
    void received(Holder& holder, std::size_t bytes, Clock::time_point now);
    bool closing(Holder& holder);
    // A paused reader's patience ran out: closes a reader if none was closed within the patience.
    void close_one(Clock::time_point now);
    static void post_wake(const Wake& wake);

    const std::size_t total_;
    const Clock::duration patience_;
    const std::size_t progress_bytes_;
    mutable std::mutex mutex_;
    std::size_t held_ = 0;
    std::size_t stalls_ = 0;
    std::size_t closed_ = 0;
    std::vector<Holder*> holders_;
    std::optional<Clock::time_point> last_close_;
};

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

    // A buffer grown past its first size counts against `budget`.
    explicit LineReader(transport::TransportStream stream, std::size_t max_line_bytes = kMaxLineBytes,
                        ReadBufferBudget& budget = ReadBufferBudget::process());

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
    // next one while the peer keeps sending. When the wait lasts `release_after`, it
    // shrinks to what it holds (to kReadBufferBytes when that fits); one larger than
    // kKeptReadBufferBytes goes back at once when what it holds fits kReadBufferBytes.
    // A reader the budget closed gets the read error kReadBudgetClosedText.
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

    // Room to read into; false when the buffer is full and may not grow within the budget.
    bool make_room();
    // Waits, paused, until make_room() succeeds, the budget closes the reader or the
    // wait is cancelled (a read raced against a deadline).
    enum class Room : std::uint8_t { Made, Closed, Cancelled };
    asio::awaitable<Room> room_within_budget();
    void move_to_front() noexcept;
    // Down to what the buffer holds (kReadBufferBytes when that fits); `small_only`: only
    // when it fits kReadBufferBytes.
    void shrink_to_fit(bool small_only);
    // A buffer of `capacity` bytes holding the unconsumed bytes at its start, its bytes
    // counted against the budget; false when the budget refuses them. Its new bytes are
    // not zeroed (they are only ever written by reads).
    bool reallocate(std::size_t capacity);
    ReadBufferBudget::Holder& holder();
    void set_waiting(bool waiting, bool wants_room = false);
    // Closed by the budget: nothing more is read, the buffer goes back; the read error.
    IoError give_up_for_budget();
    asio::awaitable<std::pair<std::error_code, std::size_t>> read_into_buffer();
    // What one read gave, counted into the buffer and the reader's state.
    void count_read(const std::error_code& ec, std::size_t count, std::size_t offered);
    Expected<std::size_t, IoError> fill_result(const std::error_code& ec, std::size_t count) const;
    asio::awaitable<Expected<std::optional<std::size_t>, IoError>> fill_until(Clock::time_point deadline);
    // `ascii`: the line is known to hold only ASCII, so it needs no UTF-8 check.
    Expected<std::string_view, LineError> checked(std::string_view line, bool ascii) const;

    transport::TransportStream stream_;
    ReadBufferBudget* budget_;
    // Made when the buffer first grows; it leaves the budget with the reader. Wake-ups
    // posted to the reader's executor see it through weak pointers.
    std::shared_ptr<ReadBufferBudget::Holder> holder_;
    std::unique_ptr<char, FreeBuffer> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;   // first unconsumed byte
    std::size_t end_ = 0;     // one past the last received byte
    std::size_t scan_ = 0;    // bytes before this index hold no newline
    bool scan_high_ = false;  // bytes from begin_ to scan_ may hold one of 0x80 or above
    std::size_t max_line_bytes_;
    bool at_end_ = false;   // the stream ended or failed: no read is tried again
    bool drained_ = false;  // the last read left room in the buffer
    bool closed_ = false;   // closed by the budget
};

}  // namespace quillfern::protocol_negotiation
