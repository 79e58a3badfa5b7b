// The texts of a request's context: its trace id and its deadline.
#include <chrono>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "quillfern/tarpc_service.hpp"

namespace quillfern::tarpc_service {
namespace {

using namespace std::chrono_literals;

TEST(ContextTest, TraceIdIsItsNumberInHexWithAtLeastTwoDigits) {
    auto id = [](std::initializer_list<std::uint8_t> low_bytes) {
        TraceId trace{};
        std::copy(low_bytes.begin(), low_bytes.end(), trace.begin());
        return trace;
    };
    TraceId counting{};
    for (std::size_t i = 0; i < counting.size(); ++i) counting[i] = static_cast<std::uint8_t>(i);
    TraceId all_ones{};
    all_ones.fill(0xFF);
    TraceId top_only{};
    top_only[15] = 0x01;

    struct Case {
        TraceId id;
        std::string_view text;
    };
    const Case cases[] = {
        {id({}), "00"},
        {id({0x05}), "05"},
        {id({0x0f}), "0f"},
        {id({0xab}), "ab"},
        {id({0x00, 0x01}), "100"},
        {id({0x0d, 0xe0, 0x0f}), "fe00d"},
        {counting, "f0e0d0c0b0a09080706050403020100"},
        {top_only, "1000000000000000000000000000000"},
        {all_ones, "ffffffffffffffffffffffffffffffff"},
    };
    for (const Case& c : cases) EXPECT_EQ(trace_id_text(c.id), c.text);
}

TEST(ContextTest, DeadlineTextIsRfc3339WithNanosecondsOnlyWhenThereAreAny) {
    // 2026-12-10T12:00:00Z
    const std::chrono::system_clock::time_point noon{std::chrono::seconds(1'796'904'000)};
    struct Case {
        std::chrono::system_clock::time_point wall;
        MonotonicClock::duration remaining;
        std::string_view text;
    };
    const Case cases[] = {
        {noon, 0s, "2026-12-10T12:00:00Z"},
        {noon, 10s, "2026-12-10T12:00:10Z"},
        {noon, 1500ms, "2026-12-10T12:00:01.500000000Z"},
        {noon, 1ns, "2026-12-10T12:00:00.000000001Z"},
        {noon, -5s, "2026-12-10T12:00:00Z"},  // passed: no time left
        {noon + 999'999'999ns, 1ns, "2026-12-10T12:00:01Z"},
        {noon, 12h, "2026-12-11T00:00:00Z"},
        {noon, 21 * 24h + 12h, "2027-01-01T00:00:00Z"},
        {noon, kDeadlineHorizon, "2029-02-12T20:44:36.735000000Z"},
        {std::chrono::system_clock::time_point{}, 0s, "1970-01-01T00:00:00Z"},
        {std::chrono::system_clock::time_point{std::chrono::seconds(951'782'400)}, 0s, "2000-02-29T00:00:00Z"},
        // Past the end of a nanosecond count since 1970 (2262), and still written.
        {noon, MonotonicClock::duration::max(), "2319-03-22T11:47:16.854775807Z"},
        {std::chrono::system_clock::time_point::max(), 1s, "2262-04-11T23:47:17.854775807Z"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(deadline_text(c.wall, c.remaining), c.text)
            << "remaining " << std::chrono::nanoseconds(c.remaining).count() << " ns";
    }
}

TEST(ContextTest, DeadlineAfterCarriesNanosecondsAndClampsAtTheHorizon) {
    const MonotonicClock::time_point now{1000h};
    EXPECT_EQ(deadline_after(now, 0, 0), now);
    EXPECT_EQ(deadline_after(now, 1, 1'500'000'000), now + 2500ms);
    EXPECT_EQ(deadline_after(now, 68'719'476, 735'000'000), now + kDeadlineHorizon);
    EXPECT_EQ(deadline_after(now, 68'719'476, 735'000'001), now + kDeadlineHorizon);
    EXPECT_EQ(deadline_after(now, ~std::uint64_t{0}, 0), now + kDeadlineHorizon);
    EXPECT_EQ(deadline_after(now, 0, ~std::uint64_t{0}), now + kDeadlineHorizon);
    // A clock at its very end still gives an instant.
    EXPECT_EQ(deadline_after(MonotonicClock::time_point::max() - 1s, 5, 0), MonotonicClock::time_point::max());
}

}  // namespace
}  // namespace quillfern::tarpc_service
