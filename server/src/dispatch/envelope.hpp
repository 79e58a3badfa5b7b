// The envelope of one request line: what dispatch reads before it knows the method. The
// params are kept as their text, for the method to read with a reader of its own.
#pragma once

#include <cstddef>
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

}  // namespace quillfern::dispatch::detail
