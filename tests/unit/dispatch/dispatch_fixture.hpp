// Shared pieces of the dispatch tests: a started store on a clock of its own and a runner for
// coroutines; the temp directory and environment guards come from tests/support.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include <gtest/gtest.h>
#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "env_guard.hpp"
#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "temp_dir.hpp"

namespace quillfern::dispatch::testing {

using ::quillfern::testing::FakeClock;
using ::quillfern::testing::kNow;

// A started store whose clock stands at kNow unless the test moves `clock`.
inline std::shared_ptr<gossip::GossipStore> started_store(
    std::string node_id = "gate-a", std::shared_ptr<const gossip::StoreClock> clock = FakeClock::at(kNow)) {
    auto store = std::make_shared<gossip::GossipStore>(std::move(node_id), std::move(clock));
    EXPECT_TRUE(store->start().has_value());
    return store;
}

// Runs one coroutine on `ctx` until it finishes (other work on the context, such as a
// fake service's accept loop, is left suspended) and gives its result.
template <class T>
T run_task(asio::io_context& ctx, asio::awaitable<T> task) {
    std::optional<T> result;
    std::exception_ptr failure;
    asio::co_spawn(ctx, std::move(task), [&](std::exception_ptr error, T value) {
        failure = error;
        if (!error) result.emplace(std::move(value));
        ctx.stop();
    });
    ctx.restart();
    ctx.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

using ::quillfern::testing::EnvGuard;
using ::quillfern::testing::TempDir;

inline json::Value parse_json(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value ? std::move(*value) : json::Value();
}

}  // namespace quillfern::dispatch::testing
