#include "quillfern/line_reader.hpp"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>
#include <tuple>
#include <utility>

#include <asio/buffer.hpp>
#include <asio/cancellation_state.hpp>
#include <asio/error.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "line_reader_holder.hpp"
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

// A buffer of `capacity` bytes to read into and the padding after them.
char* allocate_buffer(std::size_t capacity) {
    void* p = std::malloc(capacity + kReadPaddingBytes);
    if (p == nullptr) throw std::bad_alloc();
    return static_cast<char*>(p);
}

// The bytes a buffer of `capacity` counts against the budget: none at the first size.
std::size_t counted(std::size_t capacity) noexcept { return capacity > kReadBufferBytes ? capacity : 0; }

}  // namespace

void LineReader::FreeBuffer::operator()(char* p) const noexcept { std::free(p); }

LineReader::LineReader(transport::TransportStream stream, std::size_t max_line_bytes, ReadBufferBudget& budget)
    : stream_(std::move(stream)),
      budget_(&budget),
      buffer_(allocate_buffer(kReadBufferBytes)),
      capacity_(kReadBufferBytes),
      max_line_bytes_(max_line_bytes) {}

void LineReader::consume(std::size_t count) noexcept { begin_ += std::min(count, end_ - begin_); }

ReadBufferBudget::Holder& LineReader::holder() {
    if (!holder_) {
        holder_ = std::shared_ptr<ReadBufferBudget::Holder>(
            new ReadBufferBudget::Holder(*budget_, stream_.get_executor()), [](ReadBufferBudget::Holder* holder) {
                try {
                    holder->budget.leave(*holder);
                } catch (...) {
                    // Only the budget's lock can fail here; the reader's bytes stay counted.
                }
                delete holder;
            });
        budget_->join(*holder_);
    }
    return *holder_;
}

void LineReader::set_waiting(bool waiting, bool wants_room) {
    if (holder_) budget_->set_waiting(*holder_, waiting, wants_room);
}

IoError LineReader::give_up_for_budget() {
    at_end_ = closed_ = true;
    // Nothing more is read: the unfinished line's memory goes back at once.
    begin_ = end_ = scan_ = 0;
    shrink_to_fit(false);
    return IoError(IoErrorKind::Other, std::string(kReadBudgetClosedText));
}

void LineReader::move_to_front() noexcept {
    if (begin_ == 0) return;
    std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    scan_ = scan_ > begin_ ? scan_ - begin_ : 0;
    begin_ = 0;
}

bool LineReader::reallocate(std::size_t capacity) {
    const std::size_t before = counted(capacity_);
    const std::size_t after = counted(capacity);
    if (after > before && !budget_->hold(holder(), after)) return false;
    try {
        const std::size_t kept = end_ - begin_;
        if (begin_ == 0 && kept > 0) {
            // The bytes are already at the start: the allocator may resize the block where
            // it lies (or remap it), without copying them.
            void* resized = std::realloc(buffer_.get(), capacity + kReadPaddingBytes);
            if (resized == nullptr) throw std::bad_alloc();
            static_cast<void>(buffer_.release());
            buffer_.reset(static_cast<char*>(resized));
        } else {
            std::unique_ptr<char, FreeBuffer> fresh(allocate_buffer(capacity));
            std::memcpy(fresh.get(), buffer_.get() + begin_, kept);
            buffer_ = std::move(fresh);
        }
        scan_ = scan_ > begin_ ? scan_ - begin_ : 0;
        end_ = kept;
        begin_ = 0;
    } catch (...) {
        if (after > before) budget_->hold(*holder_, before);
        throw;
    }
    capacity_ = capacity;
    if (after < before) budget_->hold(*holder_, after);
    return true;
}

void LineReader::shrink_to_fit(bool small_only) {
    if (capacity_ <= kReadBufferBytes) return;
    if (begin_ == end_) begin_ = end_ = scan_ = 0;
    const std::size_t target = std::max(end_ - begin_, kReadBufferBytes);
    if (target >= capacity_ || (small_only && target > kReadBufferBytes)) return;
    if (target > kReadBufferBytes) move_to_front();  // then the block shrinks where it lies
    reallocate(target);
}

bool LineReader::make_room() {
    if (begin_ == end_) begin_ = end_ = scan_ = 0;
    const std::size_t size = capacity_;
    // Move the unconsumed tail to the front once it leaves less than half the buffer free.
    if (begin_ > 0 && size - end_ < size / 2) move_to_front();
    // Only a line longer than the buffer gets here: grow up to the line limit.
    if (end_ == size) return reallocate(std::max(size + 1, std::min(size * 2, max_line_bytes_ + 1)));
    return true;
}

asio::awaitable<LineReader::Room> LineReader::room_within_budget() {
    if (make_room()) co_return Room::Made;
    // Paused: nothing is read until another reader gives room back.
    ReadBufferBudget::Holder& paused = holder();
    struct Unpause {
        LineReader& reader;
        ~Unpause() { reader.set_waiting(false); }
    } unpause{*this};
    budget_->set_waiting(paused, true, true);
    for (;;) {
        if (budget_->closing(paused)) co_return Room::Closed;
        if (make_room()) co_return Room::Made;
        paused.wake.expires_after(budget_->patience());
        auto [ec] = co_await paused.wake.async_wait(kNoThrow);
        // No room came back in all that time: a reader that only waits gives its up.
        if (!ec) budget_->close_one(Clock::now());
        // A read raced against a deadline gives up its wait with it.
        const asio::cancellation_state cancelled = co_await asio::this_coro::cancellation_state;
        if (cancelled.cancelled() != asio::cancellation_type::none) co_return Room::Cancelled;
    }
}

void LineReader::count_read(const std::error_code& ec, std::size_t count, std::size_t offered) {
    end_ += count;
    if (holder_ && count > 0 && capacity_ > kReadBufferBytes) budget_->received(*holder_, count, Clock::now());
    drained_ = !ec && count < offered;
    // After the end or a failure nothing more can come: later reads report the end.
    if (ec && ec != asio::error::operation_aborted) at_end_ = true;
}

Expected<std::size_t, IoError> LineReader::fill_result(const std::error_code& ec, std::size_t count) const {
    if (closed_) return unexpected(IoError(IoErrorKind::Other, std::string(kReadBudgetClosedText)));
    if (ec && count == 0) {
        if (ec == asio::error::eof) return std::size_t{0};
        return unexpected(IoError::from_error_code(ec));
    }
    return count;
}

asio::awaitable<std::pair<std::error_code, std::size_t>> LineReader::read_into_buffer() {
    if (at_end_) co_return std::pair{std::error_code(asio::error::eof), std::size_t{0}};
    switch (co_await room_within_budget()) {
        case Room::Made: break;
        case Room::Cancelled: co_return std::pair{std::error_code(asio::error::operation_aborted), std::size_t{0}};
        case Room::Closed:
            static_cast<void>(give_up_for_budget());
            co_return std::pair{std::error_code(asio::error::eof), std::size_t{0}};
    }
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
    // A buffer too big to keep goes back once what it holds fits the first size.
    if (capacity_ > kKeptReadBufferBytes) shrink_to_fit(true);
    // A grown buffer is never left to a read that waits: its memory could not go back then.
    const bool grown = capacity_ > kReadBufferBytes;
    // A read of a socket in blocking mode could hold up the whole worker.
    if ((!drained_ && !grown) || at_end_ || !stream_.non_blocking()) co_return co_await fill();
    // A socket that the last read did not drain is read at once, without waiting.
    bool wait = drained_;
    bool fitted = false;  // shrunk to what it holds during this quiet spell
    for (;;) {
        std::error_code ec;
        if (wait && capacity_ > kReadBufferBytes) {
            ReadBufferBudget::Holder& waiting = holder();
            if (budget_->closing(waiting)) co_return unexpected(give_up_for_budget());
            if (fitted) {
                waiting.wake.expires_at(Clock::time_point::max());
            } else {
                waiting.wake.expires_after(release_after);
            }
            set_waiting(begin_ != end_);
            auto winner = co_await (stream_.async_wait(asio::socket_base::wait_read, kNoThrow) ||
                                    waiting.wake.async_wait(kNoThrow));
            set_waiting(false);
            if (winner.index() == 1) {
                const auto [timer_ec] = std::get<1>(winner);
                if (!timer_ec) {
                    // The peer has gone quiet: the memory its bytes do not fill goes back while it is.
                    shrink_to_fit(false);
                    fitted = true;
                }
                continue;  // woken by the budget, or quiet: look again
            }
            ec = std::get<0>(std::get<0>(winner));
        } else if (wait) {
            std::tie(ec) = co_await stream_.async_wait(asio::socket_base::wait_read, kNoThrow);
        }
        // A failed wait is left to the read to report.
        if (ec) co_return co_await fill();
        wait = true;
        const Room room = co_await room_within_budget();
        if (room == Room::Closed) co_return unexpected(give_up_for_budget());
        if (room == Room::Cancelled) co_return fill_result(asio::error::operation_aborted, 0);
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
    auto got = fill_result(ec, count);
    if (!got) co_return unexpected(std::move(got).error());
    co_return std::optional<std::size_t>{*got};
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
        if (!at_end_) shrink_to_fit(true);

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
