// quillfern-loadgen: a load generator for quillFern's JSON-RPC socket (and, for
// comparison, a RESP server on a Unix socket), in the style of redis-benchmark: a few
// threads drive N connections with epoll, P requests in flight on each, and every reply
// is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::loadgen {

enum class Mode : std::uint8_t { Inject, Query, Liveness, RespSet, TarpcLiveness, TarpcInject, RespPing };

// Modes whose requests and replies are not JSON-RPC lines.
constexpr bool is_binary_mode(Mode mode) noexcept {
    return mode == Mode::TarpcLiveness || mode == Mode::TarpcInject || mode == Mode::RespPing;
}

std::string_view mode_name(Mode mode) noexcept;
std::optional<Mode> parse_mode(std::string_view text) noexcept;

struct Options {
    std::string socket_path;
    Mode mode = Mode::Inject;
    std::uint32_t connections = 50;
    std::uint32_t pipeline = 1;
    std::uint32_t threads = 4;
    std::uint64_t requests = 100'000;
    std::optional<double> duration_seconds;  // replaces the request count when set
    std::size_t payload_size = 100;
    std::string topic = "data";
    std::uint64_t keyspace = 1024;       // keys "k0" .. "k<keyspace-1>", in turn
    std::string node_id = "bench";       // expected in every inject reply
    std::optional<std::uint64_t> expect_count;  // query: the exact "count" of every reply
    double reply_timeout_seconds = 10;   // no reply for this long fails the run
};

// What the start-up timer is asked to do.
struct StartupOptions {
    std::uint32_t runs = 10;
    std::string ready_text = "Listening on";
    double timeout_seconds = 5;
    std::vector<std::string> command;
};

// Parses the command line. `run`'s options, or `startup`'s when the first argument is
// "startup". On an error or --help: the text to print and the exit status.
struct UsageExit {
    std::string text;
    int status;
};
struct ParsedCommand {
    std::optional<Options> run;
    std::optional<StartupOptions> startup;
};
struct ParseResult {
    std::optional<ParsedCommand> command;
    std::optional<UsageExit> exit;
};
ParseResult parse_command_line(int argc, char** argv);

// ---- Wire protocol -------------------------------------------------------------------

// Builds request texts and checks reply texts for one mode. Built once per run; shared
// read-only by every thread.
class Protocol {
public:
    explicit Protocol(const Options& options);

    // Whether the connection opens with the "PROTOCOLS: jsonrpc" line.
    bool negotiates() const noexcept { return mode_ != Mode::RespSet && !is_binary_mode(mode_); }

    // Appends one request (with its line end) for this id and key number.
    void append_request(std::string& out, std::uint64_t id, std::uint64_t key_number) const;

    // The length of the first complete reply in `buffer` (line end included), or 0 when
    // it is not complete yet. `scanned` is how far earlier calls already looked without
    // finding the end; it is updated so that a long reply is scanned once.
    std::size_t complete_reply(std::string_view buffer, std::size_t& scanned) const noexcept;

    // None when `reply` (line end included) is a correct answer to request `id`; else why not.
    std::optional<std::string> check_reply(std::string_view reply, std::uint64_t id) const;

private:
    std::optional<std::string> check_json_envelope(std::string_view reply, std::uint64_t id,
                                                   std::string_view& rest) const;

    Mode mode_;
    std::string request_head_;  // text before the id
    std::string request_mid_;   // text between the id and the key number
    std::string request_tail_;  // text after the key number
    std::vector<std::string> inject_tails_;  // every correct inject reply after its id
    std::string liveness_tail_;
    std::string query_tail_;
    std::optional<std::uint64_t> expect_count_;
    std::string topic_;
    std::string payload_json_;  // the binary inject's payload: the payload as a JSON string
};

// The binary RPC socket's modes and RESP PING (binary_protocol.cpp).
namespace binary {
void append_request(std::string& out, Mode mode, std::uint64_t id, std::uint64_t key_number, std::string_view topic,
                    std::string_view payload_json);
std::size_t complete_reply(Mode mode, std::string_view buffer) noexcept;
std::optional<std::string> check_reply(Mode mode, std::string_view reply, std::uint64_t id);
}  // namespace binary

// ---- Running ---------------------------------------------------------------------------

struct RunSummary {
    std::uint64_t requests = 0;
    double seconds = 0;
    std::uint64_t bytes_received = 0;
    double p50_us = 0, p99_us = 0, p999_us = 0;
};

struct RunResult {
    std::optional<RunSummary> summary;
    std::string error;  // set when the run failed
};

RunResult run_load(const Options& options);

// "mode=inject c=1 P=1 threads=1 requests=... seconds=... rps=... p50_us=... p99_us=...
//  p999_us=... rx_MBps=..."
std::string summary_line(const Options& options, std::uint32_t threads_used, const RunSummary& summary);

// Starts the command `runs` times and times each from just before it is started to the
// first output line that contains the ready text; stops it with SIGTERM. Prints one line
// per run and a summary; gives the exit status.
int time_startup(const StartupOptions& options);

}  // namespace quillfern::loadgen
