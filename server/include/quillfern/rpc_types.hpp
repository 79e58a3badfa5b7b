// The JSON-RPC 2.0 vocabulary shared by the front ends: envelope builders, the error
// codes and parameter-error texts the server sends, the constant lists that replies and
// announcements report, the service's health, and the pieces that read a method's params
// straight from the request text.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quillfern/json.hpp"

namespace quillfern::rpc_types {

// The advertised methods, in the order every reply and announcement lists them.
// ("capability.list" is answered as an alias but not advertised.)
inline constexpr std::array<std::string_view, 12> kMethodNames{
    "health.liveness", "health.readiness", "health.check", "capabilities.list", "btsp.negotiate", "wendle.announce",
    "gossip.spread",   "gossip.inject",    "gossip.query", "gossip.status",     "gossip.peers",   "gossip.subscribe",
};
inline constexpr std::array<std::string_view, 1> kCapabilities{"gossip"};
inline constexpr std::array<std::string_view, 3> kSignalTiers{"varne", "node", "meta"};
// The three topic texts, in topic order.
inline constexpr std::array<std::string_view, 3> kGossipDomains{"varne", "data", "compute"};
inline constexpr std::array<std::string_view, 2> kTransports{"uds", "tcp"};
inline constexpr std::string_view kProtocolName = "jsonrpc-2.0";
inline constexpr std::string_view kServiceVersion = "0.1.0";
inline constexpr std::string_view kServiceDisplayName = "quillFern";
// The protocol the heartbeat entry and the announcement name.
inline constexpr std::string_view kAnnouncedProtocol = "json-rpc";

// The only two error codes the server sends.
inline constexpr std::int32_t kParseError = -32700;
inline constexpr std::int32_t kMethodNotFound = -32601;
inline constexpr std::string_view kParseErrorMessage = "Parse error";
inline constexpr std::string_view kMethodNotFoundMessage = "Method not found";

// Parameter errors: sent as {"error": text} inside a success reply.
inline constexpr std::string_view kInvalidTopicError = "Invalid or missing 'topic' (varne|data|compute)";
inline constexpr std::string_view kMissingKeyError = "Missing 'key'";
inline constexpr std::string_view kMissingEntryError = "Missing 'entry' or 'entries' param";

// A constant list as a JSON array of strings, in its order.
json::Value string_array(std::span<const std::string_view> items);

// {"id":id,"jsonrpc":"2.0","method":method,"params":params} as a value; the caller writes it.
json::Value jsonrpc_request(json::Value id, std::string_view method, json::Value params);

// {"error":{"code":code,"message":message},"id":id,"jsonrpc":"2.0"} as compact text.
std::string jsonrpc_error_response(const json::Value& id, std::int32_t code, std::string_view message);

// The envelopes appended to `out`, for callers that keep one buffer per connection.
// {"id":id,"jsonrpc":"2.0","result": — a success reply up to its result, for a result
// written after it and a closing '}' (a method writes its result straight into the reply).
void write_success_prefix(std::string& out, const json::Value& id);
void write_error_response(std::string& out, const json::Value& id, std::int32_t code, std::string_view message);

// The health of the service. Only Healthy and Unknown are ever derived (from the store's
// lifecycle state); Degraded and Unhealthy exist for the binary front end's wire form.
class HealthStatus {
public:
    enum class Kind : std::uint8_t { Healthy, Degraded, Unhealthy, Unknown };

    static HealthStatus healthy() { return HealthStatus(Kind::Healthy, {}); }
    static HealthStatus degraded(std::string reason) { return HealthStatus(Kind::Degraded, std::move(reason)); }
    static HealthStatus unhealthy(std::string reason) { return HealthStatus(Kind::Unhealthy, std::move(reason)); }
    static HealthStatus unknown() { return HealthStatus(Kind::Unknown, {}); }
    // Healthy when the store runs, else Unknown.
    static HealthStatus of_store(bool running) { return running ? healthy() : unknown(); }

    Kind kind() const noexcept { return kind_; }
    // Empty for the variants without a reason.
    const std::string& reason() const noexcept { return reason_; }

    bool operator==(const HealthStatus&) const = default;

private:
    HealthStatus(Kind kind, std::string reason) : kind_(kind), reason_(std::move(reason)) {}

    Kind kind_;
    std::string reason_;
};

// The debug form: "Healthy", "Unknown", "Degraded { reason: \"disk full\" }".
std::string health_text(const HealthStatus& status);

// ---- Params read straight from the request text ------------------------------------------
// A method's reader builds only what the method takes; every other value is still read
// and checked like any value, and counts toward the line's memory budget.

// Reads one value at nesting level `depth` (that many arrays and objects are open) and
// drops it: built first, then released.
void drop_value(json::Reader& reader, std::uint32_t depth);

// Reads one member's value at nesting level `depth` where only a text is of use: a string
// gives its text; any other value is dropped and gives none. The caller tests the reader
// for failure.
std::optional<std::string> read_string_member(json::Reader& reader, std::uint32_t depth);

// Reads a params value, `reader` at it (nesting level 1): for an object, `on_member(key)`
// for each member in turn, with the reader at the member's value (level 2); it reads the
// value and gives true, or gives false and the value is dropped. Params that are not an
// object are dropped. Stops at the first fault, which the caller tests the reader for.
template <class OnMember>
void read_params_members(json::Reader& reader, OnMember&& on_member) {
    if (reader.peek_token() != '{') {
        drop_value(reader, 1);
        return;
    }
    if (!reader.check_depth(1)) return;
    reader.advance();
    std::string key_scratch;  // a key with escapes, decoded
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the key's opening quote
        const std::string_view key = reader.read_string_view(key_scratch);
        if (reader.failed() || !reader.read_colon()) return;
        if (!on_member(key)) drop_value(reader, 2);
        if (reader.failed()) return;
    }
    if (!reader.failed()) reader.close_object();
}

}  // namespace quillfern::rpc_types
