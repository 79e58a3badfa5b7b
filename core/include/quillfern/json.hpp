// JSON as quillFern reads and writes it. Values are nlohmann's (objects keep their keys
// byte-wise sorted); reading and writing are our own, so that grammar, number classes,
// limits, error texts and positions, and the compact output match the rest of the mesh.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "quillfern/expected.hpp"

namespace quillfern::json {

using Value = nlohmann::json;

// A reading error: its description and the position where it was found
// (line and column count from 1; the column counts bytes).
struct Error {
    std::string message;  // "expected value", "trailing characters", "recursion limit exceeded", ...
    std::size_t line = 0;
    std::size_t column = 0;

    // "<message> at line L column C"
    std::string to_string() const;
};

// Reads exactly one JSON value; only space, tab, line feed and carriage return may
// surround it. Values nested 128 levels deep or more are refused. Never throws.
Expected<Value, Error> parse(std::string_view text);

// Compact text: no white space, keys sorted, serde-style numbers. Never throws.
void write(std::string& out, const Value& value);
std::string to_string(const Value& value);
// Appends `s` as a JSON string literal (quotes included).
void write_string(std::string& out, std::string_view s);
// Appends a double in the shortest text that reads back to it ("1e16", "0.1", "100.0").
void write_double(std::string& out, double d);

// The found thing of a type error, in the JSON library's words: "null", "boolean `true`",
// "integer `5`", "floating point `7800.0`", "string \"x\"", "sequence", "map".
std::string unexpected_description(const Value& value);

}  // namespace quillfern::json
