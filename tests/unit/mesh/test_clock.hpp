// The mesh tests' clock: each test's stores read `clock_`, which stands at kNow unless the
// test moves it.
#pragma once

#include <memory>

#include <gtest/gtest.h>

#include "fake_clock.hpp"

namespace quillfern::mesh::testing {

using ::quillfern::testing::FakeClock;
using ::quillfern::testing::kNow;

class ClockTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeClock> clock_ = FakeClock::at(kNow);
};

}  // namespace quillfern::mesh::testing
