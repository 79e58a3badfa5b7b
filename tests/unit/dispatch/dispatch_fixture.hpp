// Shared pieces of the dispatch tests: a started store on a fixed clock, a private temp
// directory for socket paths, environment guards, and a runner for coroutines.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
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

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <gtest/gtest.h>

#include "quillfern/gossip.hpp"
#include "quillfern/json.hpp"

namespace quillfern::dispatch::testing {

inline constexpr std::uint64_t kNow = 1'700'000'000;
// The stores' clock: kNow unless a test moves it (the fixtures put it back).
inline std::atomic<std::uint64_t> g_now{kNow};
inline std::uint64_t fixed_now() { return g_now.load(std::memory_order_relaxed); }

inline std::shared_ptr<gossip::GossipStore> started_store(std::string node_id = "gate-a") {
    auto store = std::make_shared<gossip::GossipStore>(std::move(node_id), &fixed_now);
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

// Sets an environment variable for the guard's lifetime (none: unset), then restores it.
class EnvGuard {
public:
    EnvGuard(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        apply(value);
    }
    ~EnvGuard() { apply(saved_); }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void set(std::optional<std::string> value) { apply(value); }

private:
    void apply(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

    const char* name_;
    std::optional<std::string> saved_;
};

// A fresh directory under /tmp (short, so socket paths stay far below 108 bytes).
class TempDir {
public:
    TempDir() {
        std::string pattern = "/tmp/qfd-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline json::Value parse_json(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value ? std::move(*value) : json::Value();
}

}  // namespace quillfern::dispatch::testing
