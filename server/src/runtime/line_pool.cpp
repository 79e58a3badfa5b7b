// Big request lines away from the workers: a small pool of threads of their own that
// reads them, under a process-wide budget of request text being read at once, and the
// memory they leave behind given back to the system.
#include <malloc.h>
#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/runtime.hpp"

namespace quillfern::runtime {

namespace {

using Clock = std::chrono::steady_clock;

// Request text being read at once; a line waits on its pool thread until its bytes fit.
class TextBudget {
public:
    explicit TextBudget(std::size_t total) noexcept : total_(total), left_(total) {}

    std::size_t acquire(std::size_t bytes) {
        bytes = std::min(bytes, total_);
        std::unique_lock lock(mutex_);
        freed_.wait(lock, [&] { return left_ >= bytes; });
        left_ -= bytes;
        return bytes;
    }
    void release(std::size_t bytes) noexcept {
        {
            std::lock_guard lock(mutex_);
            left_ += bytes;
        }
        freed_.notify_all();
    }

private:
    std::mutex mutex_;
    std::condition_variable freed_;
    const std::size_t total_;
    std::size_t left_;
};

class LinePool {
public:
    LinePool() : guard_(asio::make_work_guard(context_)) {
        threads_.reserve(kLineParseThreads);
        for (std::size_t i = 0; i < kLineParseThreads; ++i) {
            threads_.emplace_back([this] {
                pthread_setname_np(pthread_self(), "quillfern-parse");
                for (;;) {
                    try {
                        context_.run();
                        return;
                    } catch (...) {
                        // Work never lets an exception out (offload_line_work hands it back to its caller).
                    }
                }
            });
        }
    }
    ~LinePool() {
        guard_.reset();
        context_.stop();
        for (auto& thread : threads_) thread.join();
    }

    asio::io_context& context() noexcept { return context_; }
    TextBudget& budget() noexcept { return budget_; }

private:
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
    TextBudget budget_{kLineParseBudgetBytes};
};

std::mutex pool_mutex;
std::unique_ptr<LinePool> pool;
bool pool_stopped = false;

// The pool, started at its first use; none once stopped.
LinePool* line_pool() {
    std::lock_guard lock(pool_mutex);
    if (!pool && !pool_stopped) pool = std::make_unique<LinePool>();
    return pool.get();
}

std::atomic<bool> trim_scheduled{false};
std::atomic<std::uint64_t> trims_done{0};
std::atomic<Clock::rep> last_trim{0};

// Trimming waits this long after it was asked for, so that the line's connection has
// let go of its buffers, and comes at most once per interval.
constexpr auto kTrimDelay = std::chrono::milliseconds(100);
constexpr auto kTrimInterval = std::chrono::seconds(1);

}  // namespace

asio::awaitable<void> offload_line_work(std::size_t text_bytes, std::function<void()> work) {
    LinePool* target = line_pool();
    if (target == nullptr) {
        work();  // the process is stopping: no pool to hand it to
        co_return;
    }
    auto run = [&work, &budget = target->budget(), text_bytes]() -> asio::awaitable<void> {
        const std::size_t held = budget.acquire(text_bytes);
        try {
            work();
        } catch (...) {
            budget.release(held);
            throw;
        }
        budget.release(held);
        co_return;
    };
    co_await asio::co_spawn(target->context(), std::move(run), asio::use_awaitable);
}

void trim_memory_soon() noexcept {
    try {
        if (trim_scheduled.exchange(true)) return;
        LinePool* target = line_pool();
        if (target == nullptr) {
            trim_scheduled = false;
            return;
        }
        const Clock::time_point now = Clock::now();
        const Clock::time_point after_last = Clock::time_point(Clock::duration(last_trim.load())) + kTrimInterval;
        auto timer = std::make_shared<asio::steady_timer>(target->context(), std::max(now + kTrimDelay, after_last));
        timer->async_wait([timer](std::error_code ec) {
            if (!ec) {
                ::malloc_trim(0);
                last_trim = Clock::now().time_since_epoch().count();
                trims_done.fetch_add(1);
            }
            trim_scheduled = false;
        });
    } catch (...) {
        trim_scheduled = false;  // no memory for the timer: the next big line asks again
    }
}

std::uint64_t memory_trims() noexcept { return trims_done.load(); }

void stop_line_pool() noexcept {
    std::unique_ptr<LinePool> stopping;
    {
        std::lock_guard lock(pool_mutex);
        pool_stopped = true;
        stopping = std::move(pool);
    }
    // Joins the threads after the work under way; work not begun is destroyed with the pool.
    stopping.reset();
}

}  // namespace quillfern::runtime
