// The envelope of one request line: what dispatch reads before it knows the method. The
// params are kept as their text, for the method to read with a reader of its own. A line
// in its plain form is read in one pass instead, its params in place by the method.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quillfern/json.hpp"

namespace quillfern::dispatch::detail {

struct Envelope {
    Envelope() = default;
    Envelope(Envelope&&) = default;
    Envelope& operator=(Envelope&&) = default;
    // The id is released first: a request given up for lack of memory must not need
    // memory to be taken apart.
    ~Envelope() { json::release(id); }

    json::Value id;      // null when absent
    std::string method;  // empty when absent or not a string
    // The params member's text as it stands in the line; none when absent. Only its extent
    // is found here: the method reads it, by every rule of the JSON reader, and a line
    // whose params do not read as one JSON value is answered as unreadable.
    std::optional<std::string_view> params;
    // What the envelope's values took of the line's memory budget (json::kMaxBuildBytes).
    std::size_t built_bytes = 0;
};

// Reads the request line: id, method and params of the envelope, the rest checked and
// dropped. A repeated member: the last one counts; the members may come in any order. A
// line that is JSON but not an object is a request without members. None when the line
// (apart from the params' text) is not JSON. Only allocation failures throw.
std::optional<Envelope> read_envelope(std::string_view line);

// A request line in its plain form, as gates write it: an object of "jsonrpc" (a string),
// "id" (an integer of 64 bits, a string or null), "method" (a string) and "params", each
// once, the method before the params, no other member, strings without escapes, at most
// 8 MiB. Its params are read in place by the method's plain reader; read_envelope reads
// any line this declines. Never throws.
class PlainRequest {
public:
    static constexpr std::size_t kMaxLineBytes = std::size_t{8} << 20;

    // Reads the line up to its params value; none when it is not plain so far.
    static std::optional<PlainRequest> open(std::string_view line) noexcept;

    std::string_view method() const noexcept { return method_; }
    // At the params value, for the method's plain reader.
    json::PlainReader& params() noexcept { return reader_; }
    // Once the params are read: the members after them and the end of the line. False
    // when the params or the rest are not plain.
    bool finish() noexcept;
    // The id as read_envelope reads it.
    json::Value id() const;

private:
    explicit PlainRequest(std::string_view line) noexcept : reader_(line) {}
    // One member other than the params; false when it is not plain.
    bool read_member(std::string_view name) noexcept;

    json::PlainReader reader_;
    std::string_view method_;
    enum class IdKind : std::uint8_t { Null, Number, String } id_kind_ = IdKind::Null;
    std::uint64_t id_number_ = 0;
    std::string_view id_text_;
    bool has_jsonrpc_ = false;
    bool has_id_ = false;
    bool has_method_ = false;
};

}  // namespace quillfern::dispatch::detail
