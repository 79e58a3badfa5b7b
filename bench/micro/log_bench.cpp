// Log events: one that the filter lets through (formatted and written to /dev/null) and
// ones that it drops, by level and by a target directive.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <iostream>

#include <benchmark/benchmark.h>

#include "quillfern/log.hpp"

namespace {

using namespace quillfern;

// Standard output goes to /dev/null, and the subscriber reads the given filter, for as
// long as it lives.
class SilentSubscriber {
public:
    explicit SilentSubscriber(const char* filter) {
        std::cout.flush();
        std::fflush(stdout);
        saved_stdout_ = ::dup(STDOUT_FILENO);
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        ::dup2(null_fd, STDOUT_FILENO);
        ::close(null_fd);
        ::setenv("NO_COLOR", "1", 1);
        ::setenv("RUST_LOG", filter, 1);
        log::install_log_subscriber();
    }
    ~SilentSubscriber() {
        ::dup2(saved_stdout_, STDOUT_FILENO);
        ::close(saved_stdout_);
    }
    SilentSubscriber(const SilentSubscriber&) = delete;
    SilentSubscriber& operator=(const SilentSubscriber&) = delete;

private:
    int saved_stdout_ = -1;
};

void BM_LogEventPasses(benchmark::State& state) {
    SilentSubscriber subscriber("info");
    for (auto _ : state) {
        QF_LOG(log::Level::Info, "quillfern_server::server", "Injected endpoint.alive gossip entry",
               log::text("gate", "bench"), log::number("evicted", 3));
    }
}
BENCHMARK(BM_LogEventPasses);

void BM_LogEventDroppedByLevel(benchmark::State& state) {
    SilentSubscriber subscriber("info");
    for (auto _ : state) {
        QF_LOG(log::Level::Debug, "quillfern_core::gossip", "Gossip entry ingested", log::text("topic", "data"),
               log::text("key", "k123"), log::number("ttl", 7));
    }
}
BENCHMARK(BM_LogEventDroppedByLevel);

void BM_LogEventDroppedByTarget(benchmark::State& state) {
    SilentSubscriber subscriber("info,quillfern_core=warn");
    for (auto _ : state) {
        QF_LOG(log::Level::Info, "quillfern_core::gossip", "Gossip entry ingested", log::text("topic", "data"),
               log::text("key", "k123"), log::number("ttl", 7));
    }
}
BENCHMARK(BM_LogEventDroppedByTarget);

}  // namespace
