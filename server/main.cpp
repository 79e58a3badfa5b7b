// quillfern: the process entry. Sets up the standard descriptors and signals, builds the
// runtime, and runs start-up to an exit status: 0 after an orderly stop, 1 with an error
// report, 2 for a refused command line, 101 for a fatal error.
#include <fcntl.h>
#include <malloc.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>

#include "quillfern/cli.hpp"
#include "quillfern/log.hpp"
#include "quillfern/runtime.hpp"
#include "quillfern/startup.hpp"

namespace {

void write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // a report that can't be written is given up
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

[[noreturn]] void fatal(std::string_view message) {
    std::fflush(stdout);
    write_all(2, fmt::format("thread 'main' panicked:\n{}\n", message));
    std::_Exit(101);
}

// Descriptors 0, 1 and 2 that are closed at start are opened on /dev/null, so that no
// socket ever lands on them and no log line goes into a client's connection.
void reopen_closed_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int opened = ::open("/dev/null", O_RDWR);
        if (opened < 0) std::abort();
        if (opened != fd) {
            if (::dup2(opened, fd) < 0) std::abort();
            ::close(opened);
        }
    }
}

asio::awaitable<std::optional<std::string>> async_main(std::vector<std::string> args, quillfern::runtime::Runtime& rt) {
    quillfern::log::install_log_subscriber();

    auto parsed = quillfern::cli::parse(args, quillfern::cli::process_env());
    if (parsed.kind != quillfern::cli::ParseResult::Kind::Run) {
        write_all(parsed.kind == quillfern::cli::ParseResult::Kind::Help ? 1 : 2, parsed.output);
        std::_Exit(parsed.exit_status);
    }

    auto result = co_await quillfern::run(std::move(parsed.cli), rt);
    if (!result) co_return std::move(result).error();
    co_return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    reopen_closed_standard_descriptors();
    std::signal(SIGPIPE, SIG_IGN);
    // Request lines may be up to 64 MiB long. With glibc's default, the threshold above
    // which blocks are mapped (and given back when freed) climbs after each such block is
    // freed, and from then on every worker's arena keeps tens of MiB that a long-running
    // server never reuses. A fixed threshold gives big buffers back at once.
    mallopt(M_MMAP_THRESHOLD, 1 << 20);
    pthread_setname_np(pthread_self(), "main");

    long online = ::sysconf(_SC_NPROCESSORS_ONLN);
    auto workers = quillfern::cli::worker_threads(quillfern::cli::process_env(),
                                                  online > 0 ? static_cast<std::size_t>(online) : 1);
    if (!workers) fatal(workers.error());

    std::vector<std::string> args(argv, argv + argc);
    std::optional<std::string> error;
    try {
        quillfern::runtime::Runtime rt(*workers);
        error = rt.block_on(async_main(std::move(args), rt));
        // Leaving this scope tears the runtime down: every task is cancelled where it
        // waits and every worker has ended before the report below is written.
    } catch (const std::exception& e) {
        fatal(e.what());
    } catch (...) {
        fatal("unknown error");
    }

    std::fflush(stdout);
    if (error) {
        write_all(2, fmt::format("Error: {}\n", *error));
        return 1;
    }
    return 0;
}
