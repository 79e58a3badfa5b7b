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

}  // namespace quillfern::testing
