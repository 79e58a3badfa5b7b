#include "quillfern/line_reader.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillfern/no_throw.hpp"
#include "quillfern/text.hpp"

namespace quillfern::protocol_negotiation {

namespace {

LineError invalid_utf8() {
    return LineError{LineError::Kind::InvalidUtf8,
                     IoError(IoErrorKind::InvalidData, "stream did not contain valid UTF-8")};
}

LineError too_long() { return LineError{LineError::Kind::TooLong, IoError(IoErrorKind::InvalidData, "line too long")}; }

// The first newline in [from, end), or `end` when there is none; `high` is set when a
// byte of 0x80 or above comes before it (left unset: every byte is ASCII, so the line
// needs no UTF-8 check). One pass over the bytes for both.
std::size_t find_newline(const char* data, std::size_t from, std::size_t end, bool& high) noexcept {
    std::size_t p = from;
#if defined(__SSE2__)
    const __m128i newline = _mm_set1_epi8('\n');
    unsigned highs = 0;
    while (end - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
        const auto stops = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, newline)));
        const auto these = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (stops != 0) {
            const int at = std::countr_zero(stops);
            high = high || highs != 0 || (these & ((1u << at) - 1)) != 0;
            return p + static_cast<std::size_t>(at);
        }
        highs |= these;
        p += 16;
    }
    bool tail_high = false;
    for (; p < end && data[p] != '\n'; ++p) tail_high |= static_cast<unsigned char>(data[p]) >= 0x80;
    high = high || highs != 0 || tail_high;
    return p;
#else
    const void* found = p < end ? std::memchr(data + p, '\n', end - p) : nullptr;
    high = true;  // not looked at: the line gets its UTF-8 check
    return found == nullptr ? end : static_cast<std::size_t>(static_cast<const char*>(found) - data);
#endif
}

char* allocate_buffer(std::size_t bytes) {
    void* p = std::malloc(bytes);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<char*>(p);
}

}  // namespace

void LineReader::FreeBuffer::operator()(char* p) const noexcept { std::free(p); }

LineReader::LineReader(transport::TransportStream stream, std::size_t max_line_bytes)
    : stream_(std::move(stream)),
      buffer_(allocate_buffer(kReadBufferBytes)),
      capacity_(kReadBufferBytes),
      max_line_bytes_(max_line_bytes) {}

void LineReader::consume(std::size_t count) noexcept { begin_ += std::min(count, end_ - begin_); }

void LineReader::reallocate(std::size_t capacity) {
    const std::size_t kept = end_ - begin_;
    if (begin_ == 0 && kept > 0) {
        // The bytes are already at the start: the allocator may grow the block where it
        // lies (or remap it), without copying them.
        void* grown = std::realloc(buffer_.get(), capacity);
        if (grown == nullptr) throw std::bad_alloc();
        static_cast<void>(buffer_.release());
        buffer_.reset(static_cast<char*>(grown));
    } else {
        std::unique_ptr<char, FreeBuffer> fresh(allocate_buffer(capacity));
        std::memcpy(fresh.get(), buffer_.get() + begin_, kept);
        buffer_ = std::move(fresh);
    }
    capacity_ = capacity;
    scan_ = scan_ > begin_ ? scan_ - begin_ : 0;
    end_ = kept;
    begin_ = 0;
}

void LineReader::give_back_grown_buffer() {
    if (begin_ != end_ || capacity_ <= kReadBufferBytes) return;
    begin_ = end_ = scan_ = 0;
    // Freed before the small one is taken: the two are never held at once.
    buffer_.reset();
    buffer_.reset(allocate_buffer(kReadBufferBytes));
    capacity_ = kReadBufferBytes;
}

void LineReader::make_room() {
    if (begin_ == end_) begin_ = end_ = scan_ = 0;
    const std::size_t size = capacity_;
    // Move the unconsumed tail to the front once it leaves less than half the buffer free.
    if (begin_ > 0 && size - end_ < size / 2) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        end_ -= begin_;
        scan_ = scan_ > begin_ ? scan_ - begin_ : 0;
        begin_ = 0;
    }
    if (end_ == size) {
        // Only a line longer than the buffer gets here: grow up to the line limit.
        reallocate(std::max(size + 1, std::min(size * 2, max_line_bytes_ + 1)));
    }
}

void LineReader::count_read(const std::error_code& ec, std::size_t count, std::size_t offered) noexcept {
    end_ += count;
    drained_ = !ec && count < offered;
    // After the end or a failure nothing more can come: later reads report the end.
    if (ec && ec != asio::error::operation_aborted) at_end_ = true;
}

Expected<std::size_t, IoError> LineReader::fill_result(const std::error_code& ec, std::size_t count) {
    if (ec && count == 0) {
        if (ec == asio::error::eof) return std::size_t{0};
        return unexpected(IoError::from_error_code(ec));
    }
    return count;
}

asio::awaitable<std::pair<std::error_code, std::size_t>> LineReader::read_into_buffer() {
    if (at_end_) co_return std::pair{std::error_code(asio::error::eof), std::size_t{0}};
    make_room();
    const std::size_t offered = capacity_ - end_;
    auto [ec, count] = co_await stream_.async_read_some(asio::buffer(buffer_.get() + end_, offered), kNoThrow);
    // Counted here, so bytes that arrive while a race is being cancelled are kept.
    count_read(ec, count, offered);
    co_return std::pair{ec, count};
}

asio::awaitable<Expected<std::size_t, IoError>> LineReader::fill() {
    auto [ec, count] = co_await read_into_buffer();
    co_return fill_result(ec, count);
}

asio::awaitable<Expected<std::size_t, IoError>> LineReader::fill_next(Clock::duration release_after) {
    using namespace asio::experimental::awaitable_operators;
    const bool empty = begin_ == end_;
    if (empty && capacity_ > kKeptReadBufferBytes) give_back_grown_buffer();
    // A grown buffer is never left to a read that waits: its memory could not go back then.
    const bool wait_first = drained_ || (empty && capacity_ > kReadBufferBytes);
    // A read of a socket in blocking mode could hold up the whole worker.
    if (!wait_first || at_end_ || !stream_.non_blocking()) co_return co_await fill();
    for (;;) {
        std::error_code ec;
        if (begin_ == end_ && capacity_ > kReadBufferBytes) {
            asio::steady_timer timer(stream_.get_executor(), release_after);
            auto winner =
                co_await (stream_.async_wait(asio::socket_base::wait_read, kNoThrow) || timer.async_wait(kNoThrow));
            if (winner.index() == 0) {
                ec = std::get<0>(std::get<0>(winner));
            } else {
                // The peer has gone quiet: the long line's memory goes back while it is.
                give_back_grown_buffer();
                std::tie(ec) = co_await stream_.async_wait(asio::socket_base::wait_read, kNoThrow);
            }
        } else {
            std::tie(ec) = co_await stream_.async_wait(asio::socket_base::wait_read, kNoThrow);
        }
        // A failed wait is left to the read to report.
        if (ec) co_return co_await fill();
        make_room();
        const std::size_t offered = capacity_ - end_;
        const std::size_t count = stream_.read_some(asio::buffer(buffer_.get() + end_, offered), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) continue;  // woken for nothing
        count_read(ec, count, offered);
        co_return fill_result(ec, count);
    }
}

asio::awaitable<Expected<std::optional<std::size_t>, IoError>> LineReader::fill_until(Clock::time_point deadline) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(stream_.get_executor(), deadline);
    auto winner = co_await (read_into_buffer() || timer.async_wait(kNoThrow));
    if (winner.index() == 1) co_return std::optional<std::size_t>{};
    auto [ec, count] = std::get<0>(winner);
    if (ec && count == 0) {
        if (ec == asio::error::eof) co_return std::optional<std::size_t>{0};
        co_return unexpected(IoError::from_error_code(ec));
    }
    co_return std::optional<std::size_t>{count};
}

asio::awaitable<Expected<bool, IoError>> LineReader::ensure(std::size_t count) {
    while (end_ - begin_ < count) {
        auto got = co_await fill();
        if (!got) co_return unexpected(std::move(got).error());
        if (*got == 0) co_return false;
    }
    co_return true;
}

Expected<std::string_view, LineError> LineReader::checked(std::string_view line, bool ascii) const {
    if (!line.empty() && line.size() - (line.back() == '\n' ? 1 : 0) > max_line_bytes_) return unexpected(too_long());
    if (!ascii && !text::is_valid_utf8(line)) return unexpected(invalid_utf8());
    return line;
}

Expected<std::optional<std::string_view>, LineError> LineReader::take_buffered_line() {
    const char* base = buffer_.get();
    if (begin_ >= scan_) scan_high_ = false;  // nothing of the scanned part is left
    const std::size_t from = std::max(scan_, begin_);
    const std::size_t newline = find_newline(base, from, end_, scan_high_);
    if (newline == end_) {
        scan_ = end_;
        if (end_ - begin_ > max_line_bytes_) return unexpected(too_long());
        return std::optional<std::string_view>{};
    }
    const std::size_t stop = newline + 1;
    const std::string_view line(base + begin_, stop - begin_);
    const bool ascii = !scan_high_;
    begin_ = scan_ = stop;
    scan_high_ = false;
    auto valid = checked(line, ascii);
    if (!valid) return unexpected(std::move(valid).error());
    return std::optional<std::string_view>{*valid};
}

Expected<std::string_view, LineError> LineReader::take_rest() {
    const std::string_view rest(buffer_.get() + begin_, end_ - begin_);
    begin_ = scan_ = end_;
    scan_high_ = false;
    return checked(rest, false);
}

asio::awaitable<Expected<std::optional<std::string_view>, LineError>> LineReader::read_line(
    std::optional<Clock::time_point> deadline) {
    for (;;) {
        auto line = take_buffered_line();
        if (!line) co_return unexpected(std::move(line).error());
        if (*line) co_return std::optional<std::string_view>{**line};
        // A long line is used up: its memory goes back before the reader waits again.
        if (!at_end_) give_back_grown_buffer();

        Expected<std::optional<std::size_t>, IoError> got = std::optional<std::size_t>{};
        if (deadline) {
            got = co_await fill_until(*deadline);
        } else {
            auto count = co_await fill();
            if (count) {
                got = std::optional<std::size_t>{*count};
            } else {
                got = unexpected(std::move(count).error());
            }
        }
        if (!got) co_return unexpected(LineError{LineError::Kind::Io, std::move(got).error()});
        if (!*got) co_return std::optional<std::string_view>{};  // the deadline passed
        if (**got == 0) {
            auto rest = take_rest();
            if (!rest) co_return unexpected(std::move(rest).error());
            co_return std::optional<std::string_view>{*rest};
        }
    }
}

}  // namespace quillfern::protocol_negotiation
