// A timer that keeps a fixed schedule on the monotonic clock: the first tick completes at
// once, tick k is due at the start plus k periods, and ticks missed while the owner was
// busy complete one right after the other until the schedule has caught up. No tick is
// skipped and the schedule never shifts.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

namespace quillfern {

class FixedSchedule {
public:
    using Clock = std::chrono::steady_clock;

    // A century: longer periods are clamped. Empty or negative periods count as one
    // nanosecond; a loop's period comes from seconds().
    static constexpr Clock::duration kMaxPeriod = std::chrono::hours(24 * 365 * 100);

    FixedSchedule(const asio::any_io_executor& executor, Clock::duration period)
        : timer_(executor), start_(Clock::now()), period_(std::clamp(period, Clock::duration(1), kMaxPeriod)) {}

    // An interval in whole seconds as the command line gives it: 0 counts as 1 (a loop
    // never runs without pause), more than kMaxPeriod as kMaxPeriod.
    static Clock::duration seconds(std::uint64_t secs) {
        if (secs == 0) secs = 1;
        constexpr std::uint64_t max_secs =
            static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::seconds>(kMaxPeriod).count());
        return std::chrono::seconds(static_cast<std::int64_t>(std::min(secs, max_secs)));
    }

    // Completes when the next tick is due (at once for the first tick and for overdue ones).
    asio::awaitable<void> next_tick() {
        timer_.expires_at(deadline(ticks_++));
        co_await timer_.async_wait(asio::use_awaitable);
    }

    // When tick k is due: start + k periods, or the clock's end where that would overflow.
    Clock::time_point deadline(std::uint64_t k) const {
        const auto room = Clock::time_point::max() - start_;
        if (k != 0 && static_cast<std::uint64_t>(room / period_) < k) return Clock::time_point::max();
        return start_ + period_ * static_cast<std::int64_t>(k);
    }

private:
    asio::steady_timer timer_;
    Clock::time_point start_;
    Clock::duration period_;
    std::uint64_t ticks_ = 0;
};

}  // namespace quillfern
