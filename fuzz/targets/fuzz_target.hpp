// Shared pieces of the fuzz targets: the invariant check, the list of targets, and the
// checks every target that produces JSON-RPC replies or touches the store applies.
//
// A target is a plain function of the input bytes. It returns normally when every
// invariant held and throws InvariantViolation when one did not; any other exception
// that escapes is a finding as well (bad input must never make a library throw out of
// quillFern's code). Under libFuzzer an escaping exception aborts and keeps the input;
// the corpus replay test reports it as a failure of the input's file.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "quillfern/gossip.hpp"
#include "quillfern/json.hpp"

namespace quillfern::fuzz {

using Bytes = std::span<const std::uint8_t>;

class InvariantViolation : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

// Throws InvariantViolation with `what` (and `detail`, when given) unless `holds`.
void require(bool holds, std::string_view what, std::string_view detail = {});

inline std::string_view as_text(Bytes input) noexcept {
    return {reinterpret_cast<const char*>(input.data()), input.size()};
}

// Process set-up every target relies on, done once: the negotiation time limit is made
// long enough that only the input decides what a connection reads, thornKit points at a
// path that cannot exist (every check fails fast and counts as allowed), SIGPIPE is
// ignored.
void prepare_process();

// The wall clock of the stores the targets build: a fixed second, moved on explicitly.
std::uint64_t fuzz_clock();
void set_fuzz_clock(std::uint64_t seconds);
inline constexpr std::uint64_t kFuzzEpoch = 1'700'000'000;

// A running store on the fuzz clock (reset to kFuzzEpoch).
std::shared_ptr<gossip::GossipStore> make_store();

// Runs an awaitable to its end on a private io_context; its exception is rethrown.
template <class T>
T run_to_end(asio::awaitable<T> work) {
    asio::io_context io;
    std::exception_ptr failure;
    std::optional<T> result;
    asio::co_spawn(io, std::move(work), [&](std::exception_ptr e, T value) {
        failure = e;
        if (!e) result.emplace(std::move(value));
    });
    io.run();
    if (failure) std::rethrow_exception(failure);
    return std::move(*result);
}

// The reply of dispatch::handle_request to `request` (the trimmed line): exactly one
// line of compact JSON as our writer writes it, a JSON-RPC 2.0 envelope whose kind
// (success, parse error, method not found) and id follow from the request.
// Gives the parsed reply.
json::Value check_reply(std::string_view request, std::string_view reply);

// The store's counts agree with each other and with its limits.
void check_store(const gossip::GossipStore& store);

// Type-strict equality: 1 and 1.0 differ, and so do 0.0 and -0.0.
bool strictly_equal(const json::Value& a, const json::Value& b);

// ---- The targets -------------------------------------------------------------------

void json_reader(Bytes input);
void dispatch_request(Bytes input);
void connection(Bytes input);
void transport_endpoint(Bytes input);
void cli_parse(Bytes input);
void log_filter(Bytes input);
void tarpc_codec(Bytes input);
void entry_reader(Bytes input);
void plain_reader(Bytes input);

struct Target {
    std::string_view name;  // also the name of its corpus directory
    void (*run)(Bytes);
};

inline constexpr std::array<Target, 9> kTargets{{
    {"json_reader", &json_reader},
    {"dispatch_request", &dispatch_request},
    {"connection", &connection},
    {"transport_endpoint", &transport_endpoint},
    {"cli_parse", &cli_parse},
    {"log_filter", &log_filter},
    {"tarpc_codec", &tarpc_codec},
    {"entry_reader", &entry_reader},
    {"plain_reader", &plain_reader},
}};

}  // namespace quillfern::fuzz
