// The JSON reader and writer: whatever the reader accepts, the writer writes as one line
// of valid UTF-8 that reads back to the same value (types included) and writes again to
// the same text; whatever it refuses, it refuses with a position inside the text.
#include <algorithm>

#include "fuzz_target.hpp"
#include "quillfern/text.hpp"

namespace quillfern::fuzz {

namespace {

void check_error_position(std::string_view text, const json::Error& error) {
    require(!error.message.empty(), "refusal without a message", text);
    const std::size_t lines = static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) + 1;
    require(error.line >= 1 && error.line <= lines, "refusal on a line the text does not have", error.to_string());
    // The length of the error's line, its newline included (a fault may sit on it).
    std::size_t start = 0;
    for (std::size_t line = 1; line < error.line; ++line) start = text.find('\n', start) + 1;
    const std::size_t end = std::min(text.find('\n', start), text.size() - 1);
    const std::size_t length = text.empty() ? 0 : end + 1 - start;
    require(error.column <= length, "refusal at a column beyond its line", error.to_string());
    // Column 0 names the start of a line whose newline was just consumed (or an empty text).
    require(error.column >= 1 || text.empty() || error.line > 1, "refusal at column 0 of the first line",
            error.to_string());
}

}  // namespace

void json_reader(Bytes input) {
    const std::string_view text = as_text(input);
    auto parsed = json::parse(text);
    if (!parsed) {
        check_error_position(text, parsed.error());
        return;
    }
    const std::string written = json::to_string(*parsed);
    require(written.find('\n') == std::string::npos, "written JSON spans lines", written);
    require(text::is_valid_utf8(written), "written JSON is not UTF-8", written);

    auto reread = json::parse(written);
    require(reread.has_value(), "written JSON does not read back", written);
    require(strictly_equal(*reread, *parsed), "written JSON reads back to another value", written);
    require(json::to_string(*reread) == written, "writing is not stable", written);
}

}  // namespace quillfern::fuzz
