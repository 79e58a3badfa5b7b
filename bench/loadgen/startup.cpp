// Start-up timing: from just before the server is started to its "Listening on" line.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <string>
#include <system_error>

#include <fmt/format.h>

#include "loadgen.hpp"

namespace quillfern::loadgen {

namespace {

struct Timing {
    std::optional<double> ms;
    std::string error;
};

Timing time_one_start(const StartupOptions& options) {
    int pipe_fds[2];
    if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return {std::nullopt, "pipe failed"};
    std::vector<char*> argv;
    for (const std::string& arg : options.command) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);

    const auto started = std::chrono::steady_clock::now();
    const pid_t child = ::fork();
    if (child < 0) return {std::nullopt, "fork failed"};
    if (child == 0) {
        ::dup2(pipe_fds[1], STDOUT_FILENO);
        ::execvp(argv[0], argv.data());
        std::_Exit(127);
    }
    ::close(pipe_fds[1]);

    Timing timing;
    std::string output;
    const auto deadline = started + std::chrono::duration<double>(options.timeout_seconds);
    while (!timing.ms) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            timing.error =
                fmt::format("no line containing {:?} within {} s", options.ready_text, options.timeout_seconds);
            break;
        }
        pollfd waiting{pipe_fds[0], POLLIN, 0};
        if (::poll(&waiting, 1, static_cast<int>(left.count())) <= 0) continue;
        char chunk[4096];
        const ssize_t n = ::read(pipe_fds[0], chunk, sizeof chunk);
        if (n <= 0) {
            timing.error = "the command ended its output before it was ready";
            break;
        }
        output.append(chunk, static_cast<std::size_t>(n));
        // Only complete lines count.
        const std::size_t last_line_end = output.rfind('\n');
        if (last_line_end != std::string::npos &&
            std::string_view(output).substr(0, last_line_end).find(options.ready_text) != std::string_view::npos) {
            timing.ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        }
    }

    ::kill(child, SIGTERM);
    // Keep reading so that a server logging its stop never blocks on a full pipe.
    char drain[4096];
    while (::read(pipe_fds[0], drain, sizeof drain) > 0) {}
    ::close(pipe_fds[0]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {}
    if (timing.ms && !(WIFEXITED(status) && WEXITSTATUS(status) == 0)) {
        timing.ms.reset();
        timing.error = WIFSIGNALED(status) ? fmt::format("stopped by signal {} instead of exiting", WTERMSIG(status))
                                           : fmt::format("exit status {} after SIGTERM", WEXITSTATUS(status));
    }
    return timing;
}

}  // namespace

int time_startup(const StartupOptions& options) {
    std::vector<double> times;
    for (std::uint32_t run = 0; run < options.runs; ++run) {
        Timing timing = time_one_start(options);
        if (!timing.ms) {
            std::fprintf(stderr, "startup run %u: %s\n", run + 1, timing.error.c_str());
            return 1;
        }
        times.push_back(*timing.ms);
    }
    std::sort(times.begin(), times.end());
    const double median =
        times.size() % 2 == 1 ? times[times.size() / 2] : (times[times.size() / 2 - 1] + times[times.size() / 2]) / 2;
    std::printf("%s\n", fmt::format("mode=startup runs={} median_ms={:.2f} min_ms={:.2f} max_ms={:.2f}", times.size(),
                                    median, times.front(), times.back())
                            .c_str());
    return 0;
}

}  // namespace quillfern::loadgen
