#include "quillfern/runtime.hpp"

#include <pthread.h>

#include <cstdio>
#include <exception>
#include <string>

#include <asio/executor_work_guard.hpp>
#include <fmt/format.h>

#include "quillfern/connection.hpp"

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
    } catch (...) {
    }
    std::string report = fmt::format("thread '{}' panicked:\n{}\n", current_thread_name(), what);
    std::fwrite(report.data(), 1, report.size(), stderr);
}

Runtime::Runtime(std::size_t workers) {
    if (workers == 0) workers = 1;
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) workers_.push_back(std::make_unique<asio::io_context>(1));
    threads_.reserve(workers);
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
}

Runtime::~Runtime() {
    for (auto& ctx : workers_) ctx->stop();
    main_.stop();
    for (auto& t : threads_) t.join();
    // The big-line pool may still hold work that resumes on a worker: it goes first.
    server::stop_line_pool();
    // Destroying the loops destroys every task where it waits, closing its sockets.
    workers_.clear();
}

asio::io_context& Runtime::next_worker() noexcept {
    return *workers_[next_.fetch_add(1, std::memory_order_relaxed) % workers_.size()];
}

void Runtime::spawn(asio::awaitable<void> task) {
    asio::co_spawn(next_worker(), std::move(task), [](std::exception_ptr e) { report_task_failure(e); });
}

}  // namespace quillfern::runtime
