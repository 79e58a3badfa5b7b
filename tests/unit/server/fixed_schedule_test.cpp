#include "quillfern/fixed_schedule.hpp"

#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

namespace quillfern {
namespace {

using namespace std::chrono_literals;
using Clock = FixedSchedule::Clock;

TEST(FixedSchedule, DeadlinesLieOnTheGridFromTheStart) {
    asio::io_context io;
    const auto before = Clock::now();
    FixedSchedule schedule(io.get_executor(), 250ms);
    const auto start = schedule.deadline(0);
    EXPECT_GE(start, before);
    EXPECT_LE(start, Clock::now());
    EXPECT_EQ(schedule.deadline(1) - start, 250ms);
    EXPECT_EQ(schedule.deadline(4000) - start, 4000 * 250ms);
}

TEST(FixedSchedule, PeriodsAreClampedSoNoDeadlineOverflows) {
    asio::io_context io;
    FixedSchedule schedule(io.get_executor(), FixedSchedule::seconds(UINT64_MAX));
    EXPECT_EQ(schedule.deadline(1) - schedule.deadline(0), FixedSchedule::kMaxPeriod);
    EXPECT_EQ(schedule.deadline(UINT64_MAX), Clock::time_point::max());
    EXPECT_EQ(FixedSchedule::seconds(0), 1s);
    EXPECT_EQ(FixedSchedule::seconds(30), 30s);
}

// A loop held up for several periods runs the missed ticks back to back, then keeps to
// the grid: no tick is skipped and the schedule does not shift.
TEST(FixedSchedule, OverdueTicksCompleteAtOnceAndTheGridHolds) {
    asio::io_context io;
    constexpr auto period = 40ms;
    std::vector<Clock::time_point> fired;
    Clock::time_point start;
    asio::co_spawn(
        io,
        [&]() -> asio::awaitable<void> {
            FixedSchedule schedule(co_await asio::this_coro::executor, period);
            start = schedule.deadline(0);
            co_await schedule.next_tick();
            fired.push_back(Clock::now());
            // Held up for three and a half periods.
            std::this_thread::sleep_for(3 * period + period / 2);
            for (int i = 0; i < 4; ++i) {
                co_await schedule.next_tick();
                fired.push_back(Clock::now());
            }
        },
        asio::detached);
    io.run();
    ASSERT_EQ(fired.size(), 5u);
    // Ticks 1..3 were overdue: they fired right after the hold-up, before tick 4's time.
    for (int k = 1; k <= 3; ++k) EXPECT_LT(fired[k], start + 4 * period) << k;
    // Tick 4 waited for its own deadline.
    EXPECT_GE(fired[4], start + 4 * period);
}

}  // namespace
}  // namespace quillfern
