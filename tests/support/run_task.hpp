// Test support: runs one coroutine on an io_context and gives its result.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

namespace quillfern::testing {

// How long run_task runs the context.
enum class RunUntil {
    TaskDone,  // until the task finishes; other work on the context (tasks it started) is left suspended
    Idle,      // until no work is left: whatever else the context holds has finished too
};

// Runs `task` on `ctx` (until `until` says); its exception is thrown here.
inline void run_task(asio::io_context& ctx, asio::awaitable<void> task, RunUntil until = RunUntil::TaskDone) {
    std::exception_ptr failure;
    asio::co_spawn(ctx, std::move(task), [&ctx, &failure, until](std::exception_ptr error) {
        failure = error;
        if (until == RunUntil::TaskDone) ctx.stop();
    });
    ctx.restart();
    ctx.run();
    if (failure) std::rethrow_exception(failure);
}

// The same for a task with a result (which need not be default-constructible).
template <class T>
T run_task(asio::io_context& ctx, asio::awaitable<T> task, RunUntil until = RunUntil::TaskDone) {
    std::optional<T> result;
    auto keep = [](asio::awaitable<T> inner, std::optional<T>& out) -> asio::awaitable<void> {
        out.emplace(co_await std::move(inner));
    };
    run_task(ctx, keep(std::move(task), result), until);
    return std::move(*result);
}

}  // namespace quillfern::testing
