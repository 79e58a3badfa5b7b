#include "quillfern/line_reader.hpp"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <utility>

#include <asio/buffer.hpp>
#include <asio/error.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/no_throw.hpp"
#include "quillfern/text.hpp"

namespace quillfern::protocol_negotiation {

namespace {

LineError invalid_utf8() {
    return LineError{LineError::Kind::InvalidUtf8,
                     IoError(IoErrorKind::InvalidData, "stream did not contain valid UTF-8")};
}

LineError too_long() { return LineError{LineError::Kind::TooLong, IoError(IoErrorKind::InvalidData, "line too long")}; }

}  // namespace

LineReader::LineReader(transport::TransportStream stream, std::size_t max_line_bytes)
    : stream_(std::move(stream)),
      buffer_(new char[kReadBufferBytes]),
      capacity_(kReadBufferBytes),
      max_line_bytes_(max_line_bytes) {}

void LineReader::consume(std::size_t count) noexcept { begin_ += std::min(count, end_ - begin_); }

void LineReader::reallocate(std::size_t capacity) {
    std::unique_ptr<char[]> grown(new char[capacity]);
    const std::size_t kept = end_ - begin_;
    std::memcpy(grown.get(), buffer_.get() + begin_, kept);
    buffer_ = std::move(grown);
    capacity_ = capacity;
    scan_ = scan_ > begin_ ? scan_ - begin_ : 0;
    end_ = kept;
    begin_ = 0;
}

void LineReader::make_room() {
    if (begin_ == end_) {
        begin_ = end_ = scan_ = 0;
        // A long line is used up: its memory goes back before the connection waits again.
        if (capacity_ > kReadBufferBytes) reallocate(kReadBufferBytes);
    }
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

asio::awaitable<std::pair<std::error_code, std::size_t>> LineReader::read_into_buffer() {
    if (at_end_) co_return std::pair{std::error_code(asio::error::eof), std::size_t{0}};
    make_room();
    auto [ec, count] = co_await stream_.async_read_some(asio::buffer(buffer_.get() + end_, capacity_ - end_), kNoThrow);
    // Counted here, so bytes that arrive while a race is being cancelled are kept.
    end_ += count;
    // After the end or a failure nothing more can come: later reads report the end.
    if (ec && ec != asio::error::operation_aborted) at_end_ = true;
    co_return std::pair{ec, count};
}

asio::awaitable<Expected<std::size_t, IoError>> LineReader::fill() {
    auto [ec, count] = co_await read_into_buffer();
    if (ec && count == 0) {
        if (ec == asio::error::eof) co_return std::size_t{0};
        co_return unexpected(IoError::from_error_code(ec));
    }
    co_return count;
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

Expected<std::string_view, LineError> LineReader::checked(std::string_view line) const {
    if (!line.empty() && line.size() - (line.back() == '\n' ? 1 : 0) > max_line_bytes_) return unexpected(too_long());
    if (!text::is_valid_utf8(line)) return unexpected(invalid_utf8());
    return line;
}

Expected<std::optional<std::string_view>, LineError> LineReader::take_buffered_line() {
    const char* base = buffer_.get();
    const std::size_t from = std::max(scan_, begin_);
    const void* newline = from < end_ ? std::memchr(base + from, '\n', end_ - from) : nullptr;
    if (newline == nullptr) {
        scan_ = end_;
        if (end_ - begin_ > max_line_bytes_) return unexpected(too_long());
        return std::optional<std::string_view>{};
    }
    const std::size_t stop = static_cast<std::size_t>(static_cast<const char*>(newline) - base) + 1;
    const std::string_view line(base + begin_, stop - begin_);
    begin_ = scan_ = stop;
    auto valid = checked(line);
    if (!valid) return unexpected(std::move(valid).error());
    return std::optional<std::string_view>{*valid};
}

Expected<std::string_view, LineError> LineReader::take_rest() {
    const std::string_view rest(buffer_.get() + begin_, end_ - begin_);
    begin_ = scan_ = end_;
    return checked(rest);
}

asio::awaitable<Expected<std::optional<std::string_view>, LineError>> LineReader::read_line(
    std::optional<Clock::time_point> deadline) {
    for (;;) {
        auto line = take_buffered_line();
        if (!line) co_return unexpected(std::move(line).error());
        if (*line) co_return std::optional<std::string_view>{**line};

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
