#include "quillfern/runtime.hpp"

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <stdexcept>
#include <string>
#include <system_error>

#include <fmt/format.h>
#include <asio/executor_work_guard.hpp>

#include "quillfern/io_error.hpp"

namespace quillfern::runtime {

namespace {

std::string current_thread_name() {
    char name[32] = {};
    if (pthread_getname_np(pthread_self(), name, sizeof name) != 0) return "<unnamed>";
    return name;
}

}  // namespace

void report_task_failure(std::exception_ptr error) noexcept {
    if (!error) return;
    std::string what = "unknown error";
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        what = e.what();
    } catch (...) {}
    std::string report = fmt::format("thread '{}' panicked:\n{}\n", current_thread_name(), what);
    std::fwrite(report.data(), 1, report.size(), stderr);
}

Runtime::Runtime(std::size_t workers) {
    if (workers == 0) workers = 1;
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) workers_.push_back(std::make_unique<EventLoop>(1));
    threads_.reserve(workers);
    try {
        for (auto& ctx : workers_) {
            threads_.emplace_back([ctx = ctx.get()] {
                pthread_setname_np(pthread_self(), "quillfern-work");
                auto guard = asio::make_work_guard(*ctx);
                for (;;) {
                    try {
                        ctx->run();
                        return;
                    } catch (...) {
                        // A handler that threw ends only its own task.
                        report_task_failure(std::current_exception());
                    }
                }
            });
        }
    } catch (const std::system_error& e) {
        // The system refused a thread (too many asked for, or a limit reached): the
        // workers already running are stopped and joined before the failure is reported.
        for (auto& ctx : workers_) ctx->stop();
        for (auto& t : threads_) t.join();
        throw std::runtime_error(
            fmt::format("OS can't spawn worker thread: {}", IoError::from_os(e.code().value()).message()));
    }
}

Runtime::~Runtime() {
    for (auto& ctx : workers_) ctx->stop();
    main_.stop();
    for (auto& t : threads_) t.join();
    // The big-line pool may still hold work that resumes on a worker: it goes first.
    stop_line_pool();
    // Every task is destroyed where it waits, closing its sockets: first on every loop,
    // while every loop's services still exist, then the loops themselves.
    main_.abandon_operations();
    for (auto& ctx : workers_) ctx->abandon_operations();
    workers_.clear();
}

asio::io_context& Runtime::next_worker() noexcept {
    return *workers_[next_.fetch_add(1, std::memory_order_relaxed) % workers_.size()];
}

void Runtime::spawn(asio::awaitable<void> task) {
    asio::co_spawn(next_worker(), std::move(task), [](std::exception_ptr e) { report_task_failure(e); });
}

}  // namespace quillfern::runtime
