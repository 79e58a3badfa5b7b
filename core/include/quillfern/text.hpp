// Text helpers with the exact semantics the wire and the command line rely on:
// UTF-8 validity, Unicode white-space trimming, ASCII case folding, integer parsing
// with fixed error texts, and environment variables read as UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "quillfern/expected.hpp"

namespace quillfern::text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view bytes) noexcept;

// True for the 25 code points of Unicode's White_Space property.
bool is_unicode_whitespace(char32_t c) noexcept;

// Removes leading and trailing Unicode white space. The input must be valid UTF-8.
std::string_view trim(std::string_view s) noexcept;

// Turns ASCII capitals into small letters; every other byte stays.
std::string ascii_lowercase(std::string_view s);

// Unsigned decimal: one optional leading '+', then digits only. Error texts:
// "cannot parse integer from empty string", "invalid digit found in string",
// "number too large to fit in target type".
Expected<std::uint64_t, std::string> parse_u64(std::string_view s);

// Signed decimal: one optional leading '+' or '-', then digits only; adds
// "number too small to fit in target type".
Expected<std::int64_t, std::string> parse_i64(std::string_view s);

// The value of an environment variable; unset and non-UTF-8 values both give none.
std::optional<std::string> env_utf8(const char* name);

// Length of the valid UTF-8 sequence at `pos`, or 0 when the bytes there are not one.
std::size_t utf8_sequence_length(std::string_view s, std::size_t pos) noexcept;

// How the debug form shows bytes that are not UTF-8: as U+FFFD, or as \xNN (an OS string's form).
enum class InvalidBytes { Replace, HexEscape };

// A string in Rust's debug form: in double quotes, with \" \\ \n \r \t \0, and \u{hex}
// for control, format and other non-printable characters and combining marks.
void append_debug_quoted(std::string& out, std::string_view s, InvalidBytes invalid = InvalidBytes::Replace);
std::string debug_quoted(std::string_view s, InvalidBytes invalid = InvalidBytes::Replace);

// Decodes one code point at `pos` of valid UTF-8 and advances `pos`.
char32_t decode_utf8(std::string_view s, std::size_t& pos) noexcept;

}  // namespace quillfern::text
