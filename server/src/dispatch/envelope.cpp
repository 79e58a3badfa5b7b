#include "envelope.hpp"

#include <cstdint>
#include <string>

#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

// Checks one value at nesting level `depth` (that many arrays and objects are open) with
// the rules of read_value, without building it: strings are read into `scratch`, numbers
// and literals as the small values they are. False (the reader failed) on a fault.
bool skip_value(json::Reader& reader, std::uint32_t depth, std::string& scratch) {
    switch (reader.peek_token()) {
        case '"':
            reader.advance();
            scratch.clear();
            return reader.read_string_into(scratch);
        case '[':
            if (!reader.check_depth(depth)) return false;
            reader.advance();
            for (bool first = true; reader.has_next_element(first); first = false) {
                if (!skip_value(reader, depth + 1, scratch)) return false;
            }
            return !reader.failed() && reader.close_array();
        case '{':
            if (!reader.check_depth(depth)) return false;
            reader.advance();
            for (bool first = true; reader.has_next_key(first); first = false) {
                reader.advance();  // the key's opening quote
                scratch.clear();
                if (!reader.read_string_into(scratch) || !reader.read_colon()) return false;
                if (!skip_value(reader, depth + 1, scratch)) return false;
            }
            return !reader.failed() && reader.close_object();
        default:
            // Numbers and literals, and the faults of anything else.
            static_cast<void>(reader.read_value(depth));
            return !reader.failed();
    }
}

}  // namespace

std::optional<Envelope> read_envelope(std::string_view line) {
    using namespace std::string_view_literals;
    json::Reader reader(line);
    Envelope envelope;
    if (reader.peek_token() != '{') {
        rpc_types::drop_value(reader, 0);
        if (reader.failed() || !reader.finish()) return std::nullopt;
        envelope.built_bytes = reader.built_bytes();
        return envelope;
    }
    reader.advance();
    std::string key;
    std::string scratch;
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the key's opening quote
        key.clear();
        if (!reader.read_string_into(key) || !reader.read_colon()) return std::nullopt;
        if (key == "method"sv) {
            // A method that is not a string names no method.
            envelope.method = rpc_types::read_string_member(reader, 1).value_or(std::string());
        } else if (key == "id"sv) {
            envelope.id = reader.read_value(1);
        } else if (key == "params"sv) {
            static_cast<void>(reader.peek_token());  // past the white space before the value
            const std::size_t start = reader.offset();
            if (!skip_value(reader, 1, scratch)) return std::nullopt;
            envelope.params = line.substr(start, reader.offset() - start);
        } else {
            static_cast<void>(rpc_types::read_string_member(reader, 1));
        }
        if (reader.failed()) return std::nullopt;
    }
    if (reader.failed() || !reader.close_object() || !reader.finish()) return std::nullopt;
    envelope.built_bytes = reader.built_bytes();
    return envelope;
}

}  // namespace quillfern::dispatch::detail
