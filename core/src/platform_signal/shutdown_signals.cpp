#include "quillfern/platform_signal.hpp"

#include <csignal>
#include <cstdio>
#include <cstdlib>

#include <fmt/format.h>
#include <asio/signal_set.hpp>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/no_throw.hpp"

namespace quillfern::platform_signal {

namespace {

[[noreturn]] void fatal(const char* what, const std::error_code& ec) {
    std::fflush(stdout);
    std::string report = fmt::format("thread 'main' panicked:\n{}: Os {{ code: {}, message: \"{}\" }}\n", what,
                                     ec.value(), ec.message());
    std::fwrite(report.data(), 1, report.size(), stderr);
    std::fflush(stderr);
    std::_Exit(101);
}

}  // namespace

struct ShutdownSignals::State {
    explicit State(const asio::any_io_executor& executor) : signals(executor) {}
    asio::signal_set signals;
};

ShutdownSignals::ShutdownSignals(const asio::any_io_executor& executor) : state_(std::make_unique<State>(executor)) {
    std::error_code ec;
    state_->signals.add(SIGTERM, ec);
    if (ec) fatal("failed to register SIGTERM handler", ec);
    state_->signals.add(SIGINT, ec);
    if (ec) fatal("failed to register SIGINT handler", ec);
}

ShutdownSignals::~ShutdownSignals() = default;

asio::awaitable<void> ShutdownSignals::wait_for_shutdown() {
    for (;;) {
        auto [ec, signal] = co_await state_->signals.async_wait(kNoThrow);
        if (ec == asio::error::operation_aborted) throw std::system_error(ec);
        if (ec) continue;
        const char* name = signal == SIGTERM ? "SIGTERM" : "SIGINT";
        QF_LOG(log::Level::Info, log::targets::kPlatformSignal, "shutdown signal received", log::text("signal", name));
        co_return;
    }
}

}  // namespace quillfern::platform_signal
