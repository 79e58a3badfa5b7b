// JSON as quillFern reads and writes it. Values are nlohmann's (objects keep their keys
// byte-wise sorted); reading and writing are our own, so that grammar, number classes,
// limits, error texts and positions, and the compact output match the rest of the mesh.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
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

// Values nested this deep or deeper (arrays and objects) are refused.
inline constexpr std::uint32_t kMaxDepth = 128;

// The most memory one read value may take (its containers, members and long strings, as
// the allocator counts them). A value of a few bytes a node can take 30 times its text.
inline constexpr std::size_t kMaxBuildBytes = std::size_t{256} * 1024 * 1024;

// Thrown by a Reader whose value would take more than its memory limit: handled like
// memory running out, without the memory being taken first.
class TooLarge : public std::bad_alloc {
public:
    const char* what() const noexcept override { return "JSON value exceeds its memory limit"; }
};

// Empties `value` from the innermost level out. The JSON library's destructor borrows
// memory to take a big array or object apart, so destroying one when memory has run out
// would end the process; a value released first gives nothing back to borrow for.
// Levels below kMaxDepth are emptied; deeper ones (never built by the reader) are left
// to the destructor. Never throws.
void release(Value& value) noexcept;

// Reads exactly one JSON value; only space, tab, line feed and carriage return may
// surround it. Values nested 128 levels deep or more are refused. Never throws.
Expected<Value, Error> parse(std::string_view text);

// The canonical compact text of the one JSON value in `text`: what `write` gives for
// `parse(text)`, read straight from the text without building the value. Refuses what
// `parse` refuses, with the same error. Only allocation failures throw.
Expected<std::string, Error> canonical_text(std::string_view text);

// Compact text: no white space, keys sorted, serde-style numbers. Never throws.
void write(std::string& out, const Value& value);
std::string to_string(const Value& value);
// Appends `s` as a JSON string literal (quotes included).
void write_string(std::string& out, std::string_view s);
// The length of the text write_string appends for `s`, found without writing it.
std::size_t written_string_size(std::string_view s) noexcept;
// Appends a double in the shortest text that reads back to it ("1e16", "0.1", "100.0").
void write_double(std::string& out, double d);

// The found thing of a type error, in the JSON library's words: "null", "boolean `true`",
// "integer `5`", "floating point `7800.0`", "string \"x\"", "sequence", "map".
std::string unexpected_description(const Value& value);

// A cursor over JSON text with the reading rules and error positions of `parse`: the
// building block of typed readers that must fail where the JSON library fails. The text
// must outlive the reader. Only allocation failures throw (std::bad_alloc, or TooLarge
// once the values read take more than `max_build_bytes`; whatever was built is released
// on the way out); after the first failure `failed()` is set, the error is kept and
// every later result is meaningless.
//
// Positions follow two rules: a fault of a byte that was consumed is reported at that byte
// (`fail`), a fault seen by looking at the next byte is reported at that next byte
// (`fail_at_next`); at the end of the text both name the last byte.
class Reader {
public:
    explicit Reader(std::string_view text, std::size_t max_build_bytes = kMaxBuildBytes) noexcept
        : text_(text), max_build_bytes_(max_build_bytes) {}

    // Skips JSON white space; the next byte, not consumed, or -1 at the end of the text.
    int peek_token() noexcept;
    // Consumes one byte (the one peek_token returned).
    void advance() noexcept { ++pos_; }
    std::size_t offset() const noexcept { return pos_; }
    // Bytes of the text not read yet.
    std::size_t remaining() const noexcept { return text_.size() - pos_; }

    // Reads one value, white space first; `depth` arrays and objects are already open.
    // Null on failure.
    Value read_value(std::uint32_t depth);
    // Reads the rest of a string whose opening quote was consumed.
    std::string read_string_body();
    // The same, appended to `out` (not cleared first).
    bool read_string_into(std::string& out);
    // The same for a caller that only looks at the string (a member name, say): a view
    // into the text when the string needs no decoding, else its decoded text in `scratch`
    // (cleared first). Empty on failure. Valid while the text lives and `scratch` is
    // unchanged.
    std::string_view read_string_view(std::string& scratch);
    // Reads one value like read_value and appends its canonical compact text to `out`
    // (what `write` gives for the value read_value would build). On failure `out` holds
    // a partial text.
    bool read_canonical(std::string& out, std::uint32_t depth);

    // Before consuming a peeked '[' or '{' that opens level `depth` + 1: false (and
    // failed) when that level reaches the nesting limit.
    bool check_depth(std::uint32_t depth);
    // After '[': true when an element follows (the comma before it consumed), false when
    // the next byte is ']' (not consumed). `first` is true for the first call only.
    bool has_next_element(bool first);
    // After '{': true when a key follows (its opening quote not consumed), false at '}'.
    bool has_next_key(bool first);
    // Between a key and its value.
    bool read_colon();
    // Consume the closing bracket; the faults of anything else there.
    bool close_array();
    bool close_object();
    // After the value: only white space may follow.
    bool finish();

    bool failed() const noexcept { return failed_; }
    // Memory the values read so far took, as counted against `max_build_bytes`: a reader
    // of another part of the same text can be given what is left.
    std::size_t built_bytes() const noexcept { return built_bytes_; }
    void fail(std::string message);
    void fail_at_next(std::string message);
    // The kept error with its line and column.
    Error error() const;
    // Line and column of a byte offset: the column counts the bytes of its line up to it.
    static Error error_at(std::string_view text, std::size_t offset, std::string message);

private:
    int next_byte() noexcept { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_++]) : -1; }
    int peek_byte() const noexcept { return pos_ < text_.size() ? static_cast<unsigned char>(text_[pos_]) : -1; }
    void fail_at(std::size_t offset, std::string message);
    // Counts memory the values read take; TooLarge past the limit.
    void count_built(std::size_t bytes);
    bool parse_ident(std::string_view rest);
    Value read_number(bool positive);
    Value read_array(std::uint32_t depth);
    Value read_object(std::uint32_t depth);
    bool read_canonical_number(std::string& out, bool positive);
    bool read_canonical_array(std::string& out, std::uint32_t depth);
    bool read_canonical_object(std::string& out, std::uint32_t depth);
    bool read_canonical_object_sorted(std::string& out, std::uint32_t depth);
    bool read_escape(std::string& out);
    bool read_unicode_escape(std::string& out);
    int read_hex4();

    std::string_view text_;
    std::size_t pos_ = 0;
    bool failed_ = false;
    std::size_t error_offset_ = 0;
    std::string error_message_;
    std::string scratch_;  // decoded strings on their way to canonical text
    std::size_t max_build_bytes_;
    std::size_t built_bytes_ = 0;
};

// A reader of JSON text in its plain forms only, for the fast path beside Reader: strings
// without escapes (valid UTF-8, no control byte), integers without sign, fraction or
// exponent, and values that are their own canonical text. It declines anything else
// (declined() is set and every later result is meaningless) and never writes an error:
// the caller hands the text to Reader, which reads it by every rule. Whatever it takes,
// Reader takes too, with equal values. The text must outlive the reader. Never throws.
class PlainReader {
public:
    explicit PlainReader(std::string_view text, std::size_t at = 0) noexcept : text_(text), pos_(at) {}

    bool declined() const noexcept { return declined_; }
    void decline() noexcept { declined_ = true; }
    std::size_t offset() const noexcept { return pos_; }
    std::size_t remaining() const noexcept { return text_.size() - pos_; }

    // Skips white space; the next byte, not consumed, or -1 at the end of the text.
    int peek() noexcept;
    // Skips white space and consumes `c`; false (and declined) when another byte is there.
    bool take(char c) noexcept;
    // Skips white space and consumes `c` only when it is there.
    bool take_if(char c) noexcept;
    // A string without escapes, its bytes as they stand in the text (white space first).
    std::string_view string() noexcept;
    // A member name and its colon.
    std::string_view name() noexcept;
    // An integer of 0 to 2^64 - 1 written plainly (no sign, no leading zero).
    std::uint64_t unsigned_integer() noexcept;
    // A value whose text is its own canonical compact text (no white space inside, keys
    // sorted without repeats, integers of 64 bits, no escapes), at most `max_depth`
    // arrays and objects deep; its text as it stands. Fractions, exponents, repeated or
    // unsorted keys are declined.
    std::string_view canonical_value(std::uint32_t max_depth) noexcept;
    // Only white space is left.
    bool at_end() noexcept;

private:
    bool canonical_at(std::uint32_t depth_left) noexcept;
    bool canonical_integer() noexcept;
    bool literal(std::string_view word) noexcept;
    std::string_view string_body() noexcept;  // after the opening quote

    std::string_view text_;
    std::size_t pos_;
    bool declined_ = false;
};

}  // namespace quillfern::json
