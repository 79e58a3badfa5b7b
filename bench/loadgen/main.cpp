// quillfern-loadgen: see loadgen.hpp and --help.
#include <signal.h>

#include <algorithm>
#include <cstdio>
#include <exception>

#include "loadgen.hpp"

int main(int argc, char** argv) {
    using namespace quillfern::loadgen;
    ::signal(SIGPIPE, SIG_IGN);
    try {
        ParseResult parsed = parse_command_line(argc, argv);
        if (parsed.exit) {
            std::fputs(parsed.exit->text.c_str(), parsed.exit->status == 0 ? stdout : stderr);
            return parsed.exit->status;
        }
        if (parsed.command->startup) return time_startup(*parsed.command->startup);

        const Options& options = *parsed.command->run;
        RunResult result = run_load(options);
        if (!result.summary) {
            std::fprintf(stderr, "quillfern-loadgen: %s mode failed: %s\n",
                         std::string(mode_name(options.mode)).c_str(), result.error.c_str());
            return 1;
        }
        const std::uint32_t threads_used = std::max<std::uint32_t>(1, std::min(options.threads, options.connections));
        std::printf("%s\n", summary_line(options, threads_used, *result.summary).c_str());
        return 0;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "quillfern-loadgen: %s\n", error.what());
        return 1;
    }
}
