// The "found thing" of type errors, worded as the JSON library of the rest of the mesh
// words it: floats in the writer's shortest form, strings in Rust's debug form.
#include <cmath>
#include <cstdint>
#include <string>

#include "quillfern/json.hpp"
#include "quillfern/text.hpp"

namespace quillfern::json {

std::string unexpected_description(const Value& value) {
    switch (value.type()) {
        case Value::value_t::boolean: return value.get<bool>() ? "boolean `true`" : "boolean `false`";
        case Value::value_t::number_integer: return "integer `" + std::to_string(value.get<std::int64_t>()) + "`";
        case Value::value_t::number_unsigned: return "integer `" + std::to_string(value.get<std::uint64_t>()) + "`";
        case Value::value_t::number_float: {
            const double d = value.get<double>();
            std::string out = "floating point `";
            if (std::isnan(d))
                out.append("NaN");
            else if (std::isinf(d))
                out.append(d < 0 ? "-inf" : "inf");
            else
                write_double(out, d);
            out.push_back('`');
            return out;
        }
        case Value::value_t::string: return "string " + text::debug_quoted(value.get_ref<const std::string&>());
        case Value::value_t::array: return "sequence";
        case Value::value_t::object: return "map";
        case Value::value_t::binary: return "byte array";
        case Value::value_t::null:
        case Value::value_t::discarded: break;
    }
    return "null";
}

}  // namespace quillfern::json
