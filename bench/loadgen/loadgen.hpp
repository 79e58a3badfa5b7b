// quillfern-loadgen: a load generator for quillFern's JSON-RPC socket or its cross-gate
// TCP listener (and, for comparison, a RESP server on a Unix socket), in the style of
// redis-benchmark: a few threads drive N connections with epoll, P requests in flight on
// each, and every reply is checked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::loadgen {

// spread: "gossip.spread" batches as a peer sends them (fresh nonces, rising versions);
// mset: RESP "MSET" of as many keys, for a redis-server; tarpc-*: the binary RPC socket;
// ping: RESP "PING".
enum class Mode : std::uint8_t {
    Inject,
    Query,
    Liveness,
    RespSet,
    Spread,
    RespMset,
    TarpcLiveness,
    TarpcInject,
    RespPing
};

// Modes whose requests and replies are not JSON-RPC lines.
constexpr bool is_binary_mode(Mode mode) noexcept {
    return mode == Mode::TarpcLiveness || mode == Mode::TarpcInject || mode == Mode::RespPing;
}

std::string_view mode_name(Mode mode) noexcept;
std::optional<Mode> parse_mode(std::string_view text) noexcept;

struct Options {
    std::string socket_path;
    std::optional<std::string> tcp_address;  // "host:port": TCP, opened with the 0xEC 0x01 signal
    Mode mode = Mode::Inject;
    std::uint32_t connections = 50;
    std::uint32_t pipeline = 1;
    std::uint32_t threads = 4;
    std::uint64_t requests = 100'000;
    std::optional<double> duration_seconds;  // replaces the request count when set
    std::size_t payload_size = 100;
    std::string topic = "data";
    std::uint64_t keyspace = 1024;              // keys "k0" .. "k<keyspace-1>", in turn
    std::string node_id = "bench";              // expected in every inject reply
    std::optional<std::uint64_t> expect_count;  // query: the exact "count" of every reply
    double reply_timeout_seconds = 10;          // no reply for this long fails the run
    std::uint32_t batch = 1000;                 // spread, mset: entries (keys) per request
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

    // Whether the connection opens with the "PROTOCOLS: jsonrpc" line (on a Unix socket).
    bool negotiates() const noexcept {
        return mode_ != Mode::RespSet && mode_ != Mode::RespMset && !is_binary_mode(mode_);
    }
    // Entries (keys) that one request carries.
    std::uint32_t entries_per_request() const noexcept { return batch_; }

    // Appends one request (with its line end) for this id and key number; `sequence` is
    // the run-wide number of the request (spread: it makes nonces and versions) and
    // `connection` the sending connection's number (spread: it picks the keys).
    void append_request(std::string& out, std::uint64_t id, std::uint64_t key_number, std::uint64_t sequence = 0,
                        std::size_t connection = 0) const;

    // The length of the first complete reply in `buffer` (line end included), or 0 when
    // it is not complete yet. `scanned` is how far earlier calls already looked without
    // finding the end; it is updated so that a long reply is scanned once.
    std::size_t complete_reply(std::string_view buffer, std::size_t& scanned) const noexcept;

    // None when `reply` (line end included) is a correct answer to request `id`; else why not.
    std::optional<std::string> check_reply(std::string_view reply, std::uint64_t id) const;
    // spread: the "accepted" count of a checked reply; 0 in other modes.
    std::uint64_t accepted_in(std::string_view reply) const noexcept;

private:
    std::optional<std::string> check_json_envelope(std::string_view reply, std::uint64_t id,
                                                   std::string_view& rest) const;

    Mode mode_;
    std::string request_head_;               // text before the id
    std::string request_mid_;                // text between the id and the key number
    std::string request_tail_;               // text after the key number
    std::vector<std::string> inject_tails_;  // every correct inject reply after its id
    std::string liveness_tail_;
    std::string query_tail_;
    std::optional<std::uint64_t> expect_count_;
    std::uint32_t batch_ = 1;
    std::string spread_tail_;  // spread: every correct reply after its id, up to the counts
    // spread: each connection's batch text with fixed-width places for nonces and
    // versions, patched for every request.
    struct BatchText {
        std::string text;
        std::vector<std::size_t> nonce_places;
        std::vector<std::size_t> version_places;
    };
    std::vector<BatchText> batches_;
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
    std::uint64_t accepted = 0;  // spread: entries the server reported accepted
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
