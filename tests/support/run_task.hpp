// Test support: runs one coroutine on an io_context to its end and gives its result.
#pragma once

#include <exception>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

namespace quillfern::testing {

// Runs `task` on `ctx` until it finishes; other work on the context (tasks it started)
// is left suspended. Its exception is thrown here.
inline void run_task(asio::io_context& ctx, asio::awaitable<void> task) {
    std::exception_ptr failure;
    asio::co_spawn(ctx, std::move(task), [&](std::exception_ptr error) {
        failure = error;
        ctx.stop();
    });
    ctx.restart();
    ctx.run();
    if (failure) std::rethrow_exception(failure);
}

// The same for a task with a result (which need not be default-constructible).
template <class T>
T run_task(asio::io_context& ctx, asio::awaitable<T> task) {
    std::optional<T> result;
    auto keep = [](asio::awaitable<T> inner, std::optional<T>& out) -> asio::awaitable<void> {
        out.emplace(co_await std::move(inner));
    };
    run_task(ctx, keep(std::move(task), result));
    return std::move(*result);
}

}  // namespace quillfern::testing
