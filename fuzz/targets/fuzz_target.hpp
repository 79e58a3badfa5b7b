// Shared pieces of the fuzz targets: the invariant check, the list of targets, and the
// checks every target that produces JSON-RPC replies or touches the store applies.
//
// A target is a plain function of the input bytes. It returns normally when every
// invariant held and throws InvariantViolation when one did not; any other exception
// that escapes is a finding as well (bad input must never make a library throw out of
// quillFern's code). Under libFuzzer an escaping exception aborts and keeps the input;
// the corpus replay test reports it as a failure of the input's file.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "fuzz_target_list.hpp"
#include "quillfern/gossip_store.hpp"
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

// One function of the input bytes per line of fuzz/targets.list.
#define QF_DECLARE_FUZZ_TARGET(name) void name(Bytes input);
QF_FOR_EACH_FUZZ_TARGET(QF_DECLARE_FUZZ_TARGET)
#undef QF_DECLARE_FUZZ_TARGET

struct Target {
    std::string_view name;  // also the name of its corpus directory
    void (*run)(Bytes);
};

#define QF_FUZZ_TARGET_ENTRY(name) Target{#name, &name},
inline constexpr Target kTargets[] = {QF_FOR_EACH_FUZZ_TARGET(QF_FUZZ_TARGET_ENTRY)};
#undef QF_FUZZ_TARGET_ENTRY

}  // namespace quillfern::fuzz
