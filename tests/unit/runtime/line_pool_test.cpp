// The pool for big lines: work runs on a thread of its own, the caller resumes on its own
// thread, and failures reach the caller.
#include <new>
#include <thread>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "quillfern/runtime.hpp"

namespace quillfern::runtime {
namespace {

asio::awaitable<void> hop(std::thread::id& worked_on, std::thread::id& resumed_on) {
    co_await offload_line_work(10, [&] { worked_on = std::this_thread::get_id(); });
    resumed_on = std::this_thread::get_id();
}

asio::awaitable<void> fail_in_pool(bool& reached_caller) {
    try {
        co_await offload_line_work(10, [] { throw std::bad_alloc(); });
    } catch (const std::bad_alloc&) {
        reached_caller = true;
    }
}

TEST(LinePoolTest, WorkRunsOnThePoolAndTheCallerResumesOnItsThread) {
    asio::io_context io;
    std::thread::id worked_on, resumed_on;
    bool reached_caller = false;
    asio::co_spawn(io, hop(worked_on, resumed_on), asio::detached);
    asio::co_spawn(io, fail_in_pool(reached_caller), asio::detached);
    io.run();
    EXPECT_NE(worked_on, std::thread::id());
    EXPECT_NE(worked_on, std::this_thread::get_id());
    EXPECT_EQ(resumed_on, std::this_thread::get_id());
    EXPECT_TRUE(reached_caller);
}

}  // namespace
}  // namespace quillfern::runtime
