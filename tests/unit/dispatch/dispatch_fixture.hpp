// Shared pieces of the dispatch tests: the started store, the coroutine runner, the temp
// directory and environment guards of tests/support, and a JSON parse that fails the test.
#pragma once

#include <string_view>
#include <utility>

#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "run_task.hpp"
#include "started_store.hpp"
#include "temp_dir.hpp"

namespace quillfern::dispatch::testing {

using ::quillfern::testing::EnvGuard;
using ::quillfern::testing::FakeClock;
using ::quillfern::testing::kNow;
using ::quillfern::testing::make_started_store;
using ::quillfern::testing::run_task;
using ::quillfern::testing::TempDir;

inline json::Value parse_json(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value ? std::move(*value) : json::Value();
}

}  // namespace quillfern::dispatch::testing
