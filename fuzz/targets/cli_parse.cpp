// The command line: the input is the arguments after the program name and then the
// environment, NUL-separated ("--gate-id\0g\0\0GATE_ID=x\0..."). Every outcome keeps the
// parser's contract: a run with intervals of at least one second and no output, help
// with status 0, an error report in the argument parser's shape with status 2; the same
// input always gives the same outcome. The worker count from the same environment is at
// least 1 or a message.
#include <map>
#include <vector>

#include "fuzz_target.hpp"
#include "quillfern/cli.hpp"

namespace quillfern::fuzz {

namespace {

struct Invocation {
    std::vector<std::string> args{"quillfern"};
    std::map<std::string, std::string, std::less<>> env;
};

Invocation split(std::string_view text) {
    Invocation invocation;
    bool in_env = false;
    while (!text.empty() || !in_env) {
        const std::size_t end = text.find('\0');
        const std::string_view piece = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (!in_env && piece.empty()) {
            in_env = true;
            continue;
        }
        if (!in_env) {
            invocation.args.emplace_back(piece);
        } else if (const std::size_t eq = piece.find('='); eq != std::string_view::npos) {
            invocation.env.insert_or_assign(std::string(piece.substr(0, eq)), std::string(piece.substr(eq + 1)));
        }
        if (end == std::string_view::npos && !in_env) break;
    }
    return invocation;
}

}  // namespace

void cli_parse(Bytes input) {
    const Invocation invocation = split(as_text(input));
    const cli::EnvLookup env = [&](const char* name) -> std::optional<std::string> {
        auto it = invocation.env.find(std::string_view(name));
        if (it == invocation.env.end()) return std::nullopt;
        return it->second;
    };
    const cli::ParseResult result = cli::parse(invocation.args, env);
    switch (result.kind) {
        case cli::ParseResult::Kind::Run:
            require(result.exit_status == 0 && result.output.empty(), "a run with output or a status");
            require(result.cli.evict_interval >= 1 && result.cli.spread_interval >= 1, "an interval of 0 accepted");
            break;
        case cli::ParseResult::Kind::Help:
            require(result.exit_status == 0, "help with a failing status");
            require(result.output.find("\nUsage: quillfern [OPTIONS]\n") != std::string::npos,
                    "help without its usage line", result.output);
            break;
        case cli::ParseResult::Kind::Error:
            require(result.exit_status == 2, "an error with a status other than 2");
            require(result.output.starts_with("error: "), "error report without \"error: \"", result.output);
            require(result.output.ends_with("\n\nFor more information, try '--help'.\n"),
                    "error report without its closing line", result.output);
            break;
    }
    const cli::ParseResult again = cli::parse(invocation.args, env);
    require(again.kind == result.kind && again.cli == result.cli && again.output == result.output,
            "the same command line parsed two ways");

    auto workers = cli::worker_threads(env, 4);
    require(workers ? *workers >= 1 : !workers.error().empty(), "a worker count of 0 or an empty message");
}

}  // namespace quillfern::fuzz
