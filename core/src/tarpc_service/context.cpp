// Trace ids and deadlines of a request's context.
#include <algorithm>
#include <cstdio>

#include "quillfern/tarpc_service.hpp"

namespace quillfern::tarpc_service {

std::string trace_id_text(const TraceId& id) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(32);
    // The last byte is the most significant.
    for (std::size_t i = id.size(); i-- > 0;) {
        text += kDigits[id[i] >> 4];
        text += kDigits[id[i] & 0x0F];
    }
    const std::size_t first = text.find_first_not_of('0');
    // At least two digits.
    text.erase(0, std::min(first == std::string::npos ? text.size() : first, text.size() - 2));
    return text;
}

MonotonicClock::time_point deadline_after(MonotonicClock::time_point now, std::uint64_t seconds,
                                          std::uint64_t nanos) noexcept {
    using std::chrono::nanoseconds;
    constexpr std::uint64_t kHorizonNs =
        static_cast<std::uint64_t>(std::chrono::duration_cast<nanoseconds>(kDeadlineHorizon).count());
    // Seconds past the horizon are clamped before they are multiplied, so nothing overflows.
    constexpr std::uint64_t kHorizonSeconds = kHorizonNs / 1'000'000'000u + 1;
    std::uint64_t total = kHorizonNs;
    if (seconds < kHorizonSeconds && nanos <= kHorizonNs) {
        total = std::min(kHorizonNs, seconds * 1'000'000'000u + nanos);
    }
    const MonotonicClock::duration ahead =
        std::chrono::duration_cast<MonotonicClock::duration>(nanoseconds(static_cast<std::int64_t>(total)));
    // A clock this close to its end cannot hold the deadline: the latest instant it can.
    if (now > MonotonicClock::time_point::max() - ahead) return MonotonicClock::time_point::max();
    return now + ahead;
}

namespace {

// Civil date of a day count since 1970-01-01 (proleptic Gregorian calendar).
void civil_from_days(std::int64_t days, std::int64_t& year, unsigned& month, unsigned& day) noexcept {
    days += 719468;
    const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const auto doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
}

}  // namespace

std::string deadline_text(std::chrono::system_clock::time_point wall_now, MonotonicClock::duration remaining) {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    const std::int64_t now_ns = duration_cast<nanoseconds>(wall_now.time_since_epoch()).count();
    const std::int64_t ahead_ns = std::max<std::int64_t>(0, duration_cast<nanoseconds>(remaining).count());

    // Seconds and nanoseconds apart: no sum of two 64-bit nanosecond counts overflows.
    std::int64_t seconds = now_ns / 1'000'000'000;
    std::int64_t nanos = now_ns % 1'000'000'000;
    if (nanos < 0) {
        nanos += 1'000'000'000;
        seconds -= 1;
    }
    seconds += ahead_ns / 1'000'000'000;
    nanos += ahead_ns % 1'000'000'000;
    if (nanos >= 1'000'000'000) {
        nanos -= 1'000'000'000;
        seconds += 1;
    }
    if (seconds < 0) {  // before the epoch: the epoch
        seconds = 0;
        nanos = 0;
    }

    std::int64_t year = 0;
    unsigned month = 0;
    unsigned day = 0;
    civil_from_days(seconds / 86400, year, month, day);
    const auto second_of_day = static_cast<unsigned>(seconds % 86400);
    char buffer[48];
    int n = std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02uT%02u:%02u:%02u", static_cast<int>(year), month, day,
                          second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60);
    if (nanos != 0) {
        n += std::snprintf(buffer + n, sizeof buffer - static_cast<std::size_t>(n), ".%09u",
                           static_cast<unsigned>(nanos));
    }
    std::string text(buffer, static_cast<std::size_t>(n));
    text += 'Z';
    return text;
}

}  // namespace quillfern::tarpc_service
