// The server's command line: eight long options, each backed by an environment
// variable and, for the numbers, a default; the help text and the error reports are
// rendered byte for byte the way the clap 4 argument parser renders them, without
// colours. Also the worker count of the runtime, read from TOKIO_WORKER_THREADS.
//
// Everything here is pure: nothing prints and nothing ends the process, so the
// caller decides where the output goes and which exit status follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "quillfern/expected.hpp"

namespace quillfern::cli {

// The parsed command line.
struct Cli {
    std::optional<std::string> family_id;
    std::optional<std::string> gate_id;
    std::optional<std::string> transport_endpoint;  // JSON text, parsed later
    bool disable_tarpc = false;
    bool legacy_dual_socket = false;
    std::uint64_t evict_interval = 120;  // seconds, at least 1
    std::uint64_t spread_interval = 30;  // seconds, at least 1
    std::uint16_t gossip_port = 7800;

    bool operator==(const Cli&) const = default;
};

// Looks up an environment variable's raw bytes (none when unset); tests pass a map.
using EnvLookup = std::function<std::optional<std::string>(const char* name)>;

// The process environment, byte for byte (non-UTF-8 values included).
EnvLookup process_env();

struct ParseResult {
    enum class Kind { Run, Help, Error };
    Kind kind = Kind::Run;
    Cli cli;              // meaningful for Run only
    std::string output;   // help text (for stdout) or error report (for stderr)
    int exit_status = 0;  // 0 for Run and Help, 2 for Error
};

// args[0] is the program path (its last component names the program in the usage
// line); the environment is read once, for the eight option variables.
ParseResult parse(std::span<const std::string> args, const EnvLookup& env);

// The runtime's worker count: TOKIO_WORKER_THREADS when set, else the online
// processor count (at least 1). The error is the fatal message for a bad value.
Expected<std::size_t, std::string> worker_threads(const EnvLookup& env, std::size_t online_processors);

}  // namespace quillfern::cli
