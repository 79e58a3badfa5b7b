// The mesh tests' clock: it stands at kNow unless a test moves it (each fixture puts it
// back).
#pragma once

#include <atomic>
#include <cstdint>

#include <gtest/gtest.h>

namespace quillfern::mesh::testing {

inline constexpr std::uint64_t kNow = 1'700'000'000;
inline std::atomic<std::uint64_t> g_now{kNow};
inline std::uint64_t fake_now() { return g_now.load(); }

// A test that starts with the clock at kNow.
class ClockTest : public ::testing::Test {
protected:
    ClockTest() { g_now = kNow; }
};

}  // namespace quillfern::mesh::testing
