// The one exit of a connection's task: the exception that ended it, reported once.
#include <new>
#include <utility>

#include <fmt/format.h>

#include "connection_detail.hpp"
#include "quillfern/json.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"

namespace quillfern::server::detail {

namespace {

void report_failure(std::exception_ptr failure) noexcept {
    try {
        try {
            std::rethrow_exception(failure);
        } catch (const json::TooLarge&) {
            QF_LOG(log::Level::Warn, log::targets::kServer, "Request needs too much memory — closing connection");
        } catch (const std::bad_alloc&) {
            QF_LOG(log::Level::Warn, log::targets::kServer, "Connection aborted: out of memory");
        } catch (const std::exception& e) {
            QF_LOG(log::Level::Warn, log::targets::kServer, fmt::format("Connection aborted: {}", e.what()));
        } catch (...) {
            QF_LOG(log::Level::Warn, log::targets::kServer, "Connection aborted: unknown error");
        }
    } catch (...) {
        // Not even the log line could be had; the connection ends all the same.
    }
}

}  // namespace

asio::awaitable<void> until_exit(asio::awaitable<void> task) {
    try {
        co_await std::move(task);
    } catch (...) {
        report_failure(std::current_exception());
        // Whatever the request had built is gone; give it back to the system.
        trim_memory_soon();
    }
}

}  // namespace quillfern::server::detail
