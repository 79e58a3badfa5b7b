// The command line of quillfern-loadgen.
#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>

#include <fmt/format.h>

#include "loadgen.hpp"

namespace quillfern::loadgen {

namespace {

constexpr std::string_view kUsage = R"(Usage:
  quillfern-loadgen -s SOCKET [options]
  quillfern-loadgen --tcp HOST:PORT [options]
  quillfern-loadgen startup [--runs N] [--ready TEXT] [--timeout SECS] -- COMMAND [ARGS...]

Load options:
  -s, --socket PATH     Unix socket to connect to (opened with "PROTOCOLS: jsonrpc" in the
                        JSON-RPC modes)
      --tcp HOST:PORT   TCP listener to connect to instead (opened with 0xEC 0x01)
  -m, --mode MODE       inject | query | liveness | spread | set | mset | ping |
                        tarpc-liveness | tarpc-inject  [default: inject]
                        (spread: "gossip.spread" batches with fresh nonces and rising
                        versions; set, mset, ping: RESP "SET k<n> <payload>", "MSET" of
                        --batch keys and "PING", for a redis-server; tarpc-*: the binary
                        RPC socket)
  -c N                  connections                        [default: 50]
  -P N                  requests in flight per connection  [default: 1]
  -T, --threads N       client threads                     [default: 4]
  -n N                  requests in all                    [default: 100000]
  -d, --duration SECS   run for this long instead of -n
      --size BYTES      payload size (inject, spread, set, mset) [default: 100]
      --batch N         entries per spread, keys per mset  [default: 1000]
      --topic NAME      topic (inject, query)              [default: data]
      --keyspace N      keys k0..k<N-1>, used in turn      [default: 1024]
      --node-id ID      node id every inject reply names   [default: bench]
      --expect-count N  query: every reply's "count" must be N
      --timeout SECS    fail when no reply comes for this long [default: 10]

Start-up timing: starts COMMAND --runs times (default 10), each time measuring from just
before it is started to its first output line containing --ready (default
"Listening on"), then stops it with SIGTERM and expects exit status 0.

Every reply is checked; a wrong reply, a closed connection or a timeout fails the run
(exit status 1). One summary line is printed per run.
)";

// Every load option takes a value.
constexpr std::array<std::string_view, 19> kValueOptions{
    "-s",        "--socket", "-m",         "--mode", "-c",      "-P",         "-T",        "--threads",
    "-n",        "-d",       "--duration", "--size", "--topic", "--keyspace", "--node-id", "--expect-count",
    "--timeout", "--tcp",    "--batch"};

template <class T>
std::optional<T> parse_unsigned(std::string_view text) {
    T value{};
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<double> parse_seconds(std::string_view text) {
    try {
        std::size_t used = 0;
        const double value = std::stod(std::string(text), &used);
        if (used != text.size() || !std::isfinite(value) || value <= 0) return std::nullopt;
        return value;
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

// Topic and node id go into JSON strings unescaped: keep them to plain characters.
bool plain_text(std::string_view text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\') return false;
    }
    return !text.empty();
}

ParseResult usage_error(std::string message) {
    return ParseResult{std::nullopt, UsageExit{fmt::format("error: {}\n\n{}", message, kUsage), 2}};
}

ParseResult parse_startup(int argc, char** argv) {
    StartupOptions options;
    int i = 2;
    for (; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--") {
            ++i;
            break;
        }
        if (arg != "--runs" && arg != "--ready" && arg != "--timeout") {
            return usage_error(fmt::format("unknown option '{}'", arg));
        }
        if (i + 1 >= argc) return usage_error(fmt::format("'{}' needs a value", arg));
        const std::string_view value = argv[++i];
        if (arg == "--runs") {
            auto runs = parse_unsigned<std::uint32_t>(value);
            if (!runs || *runs == 0) return usage_error("--runs must be a positive number");
            options.runs = *runs;
        } else if (arg == "--ready") {
            options.ready_text = value;
        } else if (arg == "--timeout") {
            auto seconds = parse_seconds(value);
            if (!seconds) return usage_error("--timeout must be a positive number of seconds");
            options.timeout_seconds = *seconds;
        } else {
            return usage_error(fmt::format("unknown option '{}'", arg));
        }
    }
    for (; i < argc; ++i) options.command.emplace_back(argv[i]);
    if (options.command.empty()) return usage_error("startup needs a command after '--'");
    return ParseResult{ParsedCommand{std::nullopt, std::move(options)}, std::nullopt};
}

}  // namespace

std::string_view mode_name(Mode mode) noexcept {
    switch (mode) {
        case Mode::Inject: return "inject";
        case Mode::Query: return "query";
        case Mode::Liveness: return "liveness";
        case Mode::RespSet: return "set";
        case Mode::Spread: return "spread";
        case Mode::RespMset: return "mset";
        case Mode::RespPing: return "ping";
        case Mode::TarpcLiveness: return "tarpc-liveness";
        case Mode::TarpcInject: return "tarpc-inject";
    }
    return "?";
}

std::optional<Mode> parse_mode(std::string_view text) noexcept {
    for (Mode mode : {Mode::Inject, Mode::Query, Mode::Liveness, Mode::RespSet, Mode::Spread, Mode::RespMset,
                      Mode::RespPing, Mode::TarpcLiveness, Mode::TarpcInject}) {
        if (mode_name(mode) == text) return mode;
    }
    return std::nullopt;
}

ParseResult parse_command_line(int argc, char** argv) {
    if (argc >= 2 && std::string_view(argv[1]) == "startup") return parse_startup(argc, argv);

    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "-h" || arg == "--help") return ParseResult{std::nullopt, UsageExit{std::string(kUsage), 0}};
        if (std::find(kValueOptions.begin(), kValueOptions.end(), arg) == kValueOptions.end()) {
            return usage_error(fmt::format("unknown option '{}'", arg));
        }
        if (i + 1 >= argc) return usage_error(fmt::format("'{}' needs a value", arg));
        const std::string_view value = argv[++i];
        auto count = [&](auto& target, std::string_view name) -> std::optional<ParseResult> {
            using T = std::remove_reference_t<decltype(target)>;
            auto parsed = parse_unsigned<T>(value);
            if (!parsed || *parsed == 0) return usage_error(fmt::format("{} must be a positive number", name));
            target = *parsed;
            return std::nullopt;
        };
        std::optional<ParseResult> error;
        if (arg == "-s" || arg == "--socket") {
            options.socket_path = value;
        } else if (arg == "--tcp") {
            options.tcp_address = std::string(value);
        } else if (arg == "--batch") {
            error = count(options.batch, "--batch");
        } else if (arg == "-m" || arg == "--mode") {
            auto mode = parse_mode(value);
            if (!mode) return usage_error(fmt::format("unknown mode '{}'", value));
            options.mode = *mode;
        } else if (arg == "-c") {
            error = count(options.connections, "-c");
        } else if (arg == "-P") {
            error = count(options.pipeline, "-P");
        } else if (arg == "-T" || arg == "--threads") {
            error = count(options.threads, "--threads");
        } else if (arg == "-n") {
            error = count(options.requests, "-n");
        } else if (arg == "-d" || arg == "--duration") {
            options.duration_seconds = parse_seconds(value);
            if (!options.duration_seconds) return usage_error("--duration must be a positive number of seconds");
        } else if (arg == "--size") {
            auto size = parse_unsigned<std::size_t>(value);
            if (!size) return usage_error("--size must be a number");
            options.payload_size = *size;
        } else if (arg == "--topic") {
            if (!plain_text(value)) return usage_error("--topic must be plain text");
            options.topic = value;
        } else if (arg == "--keyspace") {
            error = count(options.keyspace, "--keyspace");
        } else if (arg == "--node-id") {
            if (!plain_text(value)) return usage_error("--node-id must be plain text");
            options.node_id = value;
        } else if (arg == "--expect-count") {
            auto expected = parse_unsigned<std::uint64_t>(value);
            if (!expected) return usage_error("--expect-count must be a number");
            options.expect_count = *expected;
        } else if (arg == "--timeout") {
            auto seconds = parse_seconds(value);
            if (!seconds) return usage_error("--timeout must be a positive number of seconds");
            options.reply_timeout_seconds = *seconds;
        } else {
            return usage_error(fmt::format("unknown option '{}'", arg));
        }
        if (error) return *error;
    }
    if (options.socket_path.empty() && !options.tcp_address) return usage_error("--socket or --tcp is required");
    return ParseResult{ParsedCommand{std::move(options), std::nullopt}, std::nullopt};
}

}  // namespace quillfern::loadgen
