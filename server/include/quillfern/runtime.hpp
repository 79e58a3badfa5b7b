// The process's runtime: the main thread's event loop, which runs start-up and the main
// listener, and a fixed set of worker threads, each with its own event loop. A task
// spawned on a worker stays on that worker's thread for its whole life, so a
// connection's reads, dispatch and writes never cross cores.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

namespace quillfern::runtime {

// An event loop whose pending operations can be given up before it is destroyed. An
// operation queued on one loop may hold a socket of another (an accept on a listener's
// loop holds the new connection's socket, made for the worker that will serve it), so at
// teardown every loop gives up its operations before any loop is destroyed.
class EventLoop : public asio::io_context {
public:
    using asio::io_context::io_context;
    // Destroys every pending operation and the tasks suspended in them; the loop's
    // services stay alive until the loop itself is destroyed.
    void abandon_operations() { shutdown(); }
};

class Runtime {
public:
    // Starts the workers. When the system refuses a thread, the workers already started
    // are stopped and joined, and std::runtime_error "OS can't spawn worker thread: ..." is thrown.
    explicit Runtime(std::size_t workers);
    // Teardown: stops every loop, joins every worker, then destroys every task where it waits.
    ~Runtime();
    Runtime(const Runtime&) = delete;
    Runtime& operator=(const Runtime&) = delete;

    asio::io_context& main_context() noexcept { return main_; }
    // The workers in turn.
    asio::io_context& next_worker() noexcept;

    // Starts a detached task on the next worker. An exception that escapes it is
    // reported on standard error; only that task ends.
    void spawn(asio::awaitable<void> task);

    // Runs the main loop until `task` has finished, and gives its result.
    template <class T>
    T block_on(asio::awaitable<T> task);

private:
    EventLoop main_{1};
    std::vector<std::unique_ptr<EventLoop>> workers_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
};

// Reports an exception that ended a task, naming the thread, like the fatal-error report.
void report_task_failure(std::exception_ptr error) noexcept;

// ---- The big-line pool ------------------------------------------------------------------
// Request lines too long to read on a worker without holding up the connections that
// share it are read on a small pool of threads of their own, started at its first use; at
// most this much of their text is read at once (a line waits its turn).
inline constexpr std::size_t kLineParseThreads = 2;
inline constexpr std::size_t kLineParseBudgetBytes = std::size_t{128} * 1024 * 1024;

// Runs `work` on that pool, `text_bytes` of request text taken from the budget while it
// runs, and resumes the caller on its own executor; an exception of `work` reaches the
// caller.
asio::awaitable<void> offload_line_work(std::size_t text_bytes, std::function<void()> work);

// Gives memory that big lines left in the allocator back to the system: soon, and at
// most about once a second however often it is asked. Never throws.
void trim_memory_soon() noexcept;
// How many times so far memory was given back that way.
std::uint64_t memory_trims() noexcept;

// Ends the pool: the work under way finishes, work not begun is dropped, later work runs
// on its caller's thread. The runtime's teardown calls it once its workers have stopped,
// before their event loops are destroyed.
void stop_line_pool() noexcept;

template <class T>
T Runtime::block_on(asio::awaitable<T> task) {
    std::optional<T> result;
    std::exception_ptr failure;
    asio::co_spawn(main_, std::move(task), [&](std::exception_ptr e, T value) {
        if (e)
            failure = e;
        else
            result.emplace(std::move(value));
        main_.stop();
    });
    main_.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

}  // namespace quillfern::runtime
