// The JSON reader: RFC 8259 grammar (no comments, no trailing commas, no leading zeros,
// no BOM), serde_json's number classes, nesting limit, error texts and error positions,
// building nlohmann values directly. One pass, no exceptions on the normal path.
#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillfern/json.hpp"
#include "quillfern/text.hpp"

namespace quillfern::json {
namespace {

constexpr const char* kEofValue = "EOF while parsing a value";
constexpr const char* kEofString = "EOF while parsing a string";
constexpr const char* kEofList = "EOF while parsing a list";
constexpr const char* kEofObject = "EOF while parsing an object";
constexpr const char* kInvalidNumber = "invalid number";
constexpr const char* kOutOfRange = "number out of range";
constexpr const char* kLoneSurrogate = "lone leading surrogate in hex escape";

// How a byte inside a string literal is treated; Plain and High continue the run.
enum StringClass : std::uint8_t { kPlain = 0, kHigh = 1, kQuote = 2, kBackslash = 3, kControl = 4 };

constexpr std::array<std::uint8_t, 256> make_string_classes() {
    std::array<std::uint8_t, 256> classes{};
    for (std::size_t b = 0; b < 256; ++b) {
        if (b < 0x20)
            classes[b] = kControl;
        else if (b >= 0x80)
            classes[b] = kHigh;
        else
            classes[b] = kPlain;
    }
    classes['"'] = kQuote;
    classes['\\'] = kBackslash;
    return classes;
}
constexpr auto kStringClasses = make_string_classes();

// Where a plain run inside a string ends: the first byte at or after `from` that is '"',
// '\\' or below 0x20, or `size` when none is; `high` tells whether a byte of 0x80 or above
// came before it. Sixteen bytes at a time, then eight, then one by one near the end.
struct RunEnd {
    std::size_t at;
    bool high;
};

inline RunEnd find_run_end(const char* data, std::size_t from, std::size_t size) noexcept {
    std::size_t p = from;
    bool high = false;
#if defined(__SSE2__)
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i last_control = _mm_set1_epi8(0x1F);
    while (size - p >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + p));
        const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, last_control), last_control);
        const __m128i stop =
            _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)), control);
        const auto stops = static_cast<unsigned>(_mm_movemask_epi8(stop));
        const auto highs = static_cast<unsigned>(_mm_movemask_epi8(bytes));
        if (stops != 0) {
            const int at = std::countr_zero(stops);
            return {p + static_cast<std::size_t>(at), high || (highs & ((1u << at) - 1)) != 0};
        }
        high |= highs != 0;
        p += 16;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t kOnes = 0x0101010101010101u;
        constexpr std::uint64_t kHighs = 0x8080808080808080u;
        while (size - p >= 8) {
            std::uint64_t word = 0;
            std::memcpy(&word, data + p, sizeof word);
            // High bit set in the bytes that end the run (exact up to the first of them:
            // borrows only reach the bytes after it).
            const std::uint64_t stops =
                ((word - kOnes * 0x20) | ((word ^ (kOnes * '"')) - kOnes) | ((word ^ (kOnes * '\\')) - kOnes)) & ~word &
                kHighs;
            if (stops != 0) {
                const int at = std::countr_zero(stops) / 8;
                const std::uint64_t before = (std::uint64_t{1} << (8 * at)) - 1;
                return {p + static_cast<std::size_t>(at), high || (word & kHighs & before) != 0};
            }
            high |= (word & kHighs) != 0;
            p += 8;
        }
    }
    std::uint8_t classes = 0;
    for (; p < size; ++p) {
        const std::uint8_t cls = kStringClasses[static_cast<unsigned char>(data[p])];
        if (cls > kHigh) break;
        classes |= cls;
    }
    return {p, high || classes != 0};
}

constexpr bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

int hex_value(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        const char bytes[] = {static_cast<char>(0xC0 | (cp >> 6)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 2);
    } else if (cp < 0x10000) {
        const char bytes[] = {static_cast<char>(0xE0 | (cp >> 12)), static_cast<char>(0x80 | ((cp >> 6) & 0x3F)),
                              static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 3);
    } else {
        const char bytes[] = {static_cast<char>(0xF0 | (cp >> 18)), static_cast<char>(0x80 | ((cp >> 12) & 0x3F)),
                              static_cast<char>(0x80 | ((cp >> 6) & 0x3F)), static_cast<char>(0x80 | (cp & 0x3F))};
        out.append(bytes, 4);
    }
}

// A number whose double is out of range is either huge or tiny; huge ones are errors,
// tiny ones read as zero. Decides which from the first significant digit and the exponent.
[[gnu::cold]] bool is_huge(std::string_view number) noexcept {
    std::size_t i = (!number.empty() && number[0] == '-') ? 1 : 0;
    std::int64_t magnitude = 0;  // 10^(magnitude-1) <= |mantissa| < 10^magnitude
    bool significant = false;
    for (; i < number.size() && is_digit(number[i]); ++i) {
        if (significant)
            ++magnitude;
        else if (number[i] != '0')
            significant = true, magnitude = 1;
    }
    if (i < number.size() && number[i] == '.') {
        std::int64_t place = 0;
        for (++i; i < number.size() && is_digit(number[i]); ++i) {
            ++place;
            if (!significant && number[i] != '0') significant = true, magnitude = 1 - place;
        }
    }
    std::int64_t exponent = 0;
    bool negative_exponent = false;
    if (i < number.size() && (number[i] == 'e' || number[i] == 'E')) {
        ++i;
        if (i < number.size() && (number[i] == '+' || number[i] == '-')) negative_exponent = number[i++] == '-';
        for (; i < number.size() && is_digit(number[i]); ++i) {
            exponent = std::min<std::int64_t>(exponent * 10 + (number[i] - '0'), 1'000'000'000'000);
        }
    }
    return magnitude + (negative_exponent ? -exponent : exponent) > 0;
}

// What the allocator takes for one node of an object: the tree node with its key and value.
constexpr std::size_t kMemberBytes = 96;
// One array or object: its header, allocated apart from the value that holds it.
constexpr std::size_t kContainerBytes = 64;
// A string value: its text object, allocated apart from the value that holds it.
constexpr std::size_t kStringValueBytes = 48;
// Strings this long or shorter keep their text inside the text object.
constexpr std::size_t kInlineStringBytes = 15;

std::size_t string_bytes(const std::string& s) noexcept {
    return s.capacity() > kInlineStringBytes ? s.capacity() + 1 : 0;
}

void release_at(Value& value, std::uint32_t depth) noexcept {
    if (depth >= kMaxDepth) return;  // deeper than the reader builds: left to the destructor
    if (value.is_array()) {
        auto& items = *value.get_ptr<Value::array_t*>();
        for (Value& item : items) release_at(item, depth + 1);
        items.clear();
    } else if (value.is_object()) {
        auto& members = *value.get_ptr<Value::object_t*>();
        for (auto& member : members) release_at(member.second, depth + 1);
        members.clear();
    }
}

// Releases a value under construction when its reading ends before it is handed on.
struct ReleaseOnExit {
    Value* value;
    ~ReleaseOnExit() {
        if (value != nullptr) release(*value);
    }
};

}  // namespace

void release(Value& value) noexcept { release_at(value, 0); }

void Reader::count_built(std::size_t bytes) {
    built_bytes_ += bytes;
    if (built_bytes_ > max_build_bytes_) throw TooLarge();
}

std::string Error::to_string() const {
    return message + " at line " + std::to_string(line) + " column " + std::to_string(column);
}

Error Reader::error_at(std::string_view text, std::size_t offset, std::string message) {
    offset = std::min(offset, text.size());
    std::size_t line = 1;
    std::size_t start_of_line = 0;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == '\n') ++line, start_of_line = i + 1;
    }
    return Error{std::move(message), line, offset - start_of_line};
}

Error Reader::error() const { return error_at(text_, error_offset_, error_message_); }

void Reader::fail_at(std::size_t offset, std::string message) {
    if (failed_) return;  // the first fault is the one reported
    failed_ = true;
    error_offset_ = offset;
    error_message_ = std::move(message);
}

void Reader::fail(std::string message) { fail_at(pos_, std::move(message)); }

void Reader::fail_at_next(std::string message) { fail_at(std::min(text_.size(), pos_ + 1), std::move(message)); }

int Reader::peek_token() noexcept {
    while (pos_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[pos_]);
        // Every white space byte is a blank or below it: compact text takes the first test only.
        if (c > ' ' || (c != ' ' && c != '\n' && c != '\t' && c != '\r')) return c;
        ++pos_;
    }
    return -1;
}

bool Reader::parse_ident(std::string_view rest) {
    for (char expected : rest) {
        const int c = next_byte();
        if (c < 0) {
            fail(kEofValue);
            return false;
        }
        if (c != static_cast<unsigned char>(expected)) {
            fail("expected ident");
            return false;
        }
    }
    return true;
}

Value Reader::read_value(std::uint32_t depth) {
    const int c = peek_token();
    switch (c) {
        case -1: fail_at_next(kEofValue); return {};
        case 'n':
            ++pos_;
            parse_ident("ull");
            return {};
        case 't': ++pos_; return parse_ident("rue") ? Value(true) : Value();
        case 'f': ++pos_; return parse_ident("alse") ? Value(false) : Value();
        case '-': ++pos_; return read_number(false);
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7':
        case '8':
        case '9': return read_number(true);
        case '"': {
            ++pos_;
            std::string s = read_string_body();
            if (failed_) return {};
            count_built(kStringValueBytes + string_bytes(s));
            return Value(std::move(s));
        }
        case '[':
            if (!check_depth(depth)) return {};
            ++pos_;
            return read_array(depth + 1);
        case '{':
            if (!check_depth(depth)) return {};
            ++pos_;
            return read_object(depth + 1);
        default: fail_at_next("expected value"); return {};
    }
}

bool Reader::check_depth(std::uint32_t depth) {
    if (depth + 1 < kMaxDepth) return true;
    fail_at_next("recursion limit exceeded");
    return false;
}

// A container that is not handed on (a fault, TooLarge, a failed allocation) is
// released before it is destroyed, and so is an element that was read but not stored.
Value Reader::read_array(std::uint32_t depth) {
    count_built(kContainerBytes);
    Value out(Value::value_t::array);
    ReleaseOnExit release_out{&out};
    auto& items = *out.get_ptr<Value::array_t*>();
    for (bool first = true; has_next_element(first); first = false) {
        Value item = read_value(depth);
        ReleaseOnExit release_item{&item};
        if (failed_) return {};
        if (items.size() == items.capacity()) {
            count_built(std::max<std::size_t>(items.capacity(), 1) * sizeof(Value));
        }
        items.push_back(std::move(item));
    }
    if (failed_ || !close_array()) return {};
    release_out.value = nullptr;
    return out;
}

Value Reader::read_object(std::uint32_t depth) {
    count_built(kContainerBytes);
    Value out(Value::value_t::object);
    ReleaseOnExit release_out{&out};
    auto& members = *out.get_ptr<Value::object_t*>();
    for (bool first = true; has_next_key(first); first = false) {
        ++pos_;  // the key's opening quote
        std::string key = read_string_body();
        if (failed_ || !read_colon()) return {};
        Value value = read_value(depth);
        ReleaseOnExit release_value{&value};
        if (failed_) return {};
        count_built(kMemberBytes + string_bytes(key));
        // A repeated key: the last one counts. Keys often come sorted: try the end first.
        members.insert_or_assign(members.end(), std::move(key), std::move(value));
    }
    if (failed_ || !close_object()) return {};
    release_out.value = nullptr;
    return out;
}

bool Reader::has_next_element(bool first) {
    const int c = peek_token();
    if (c < 0) {
        fail_at_next(kEofList);
        return false;
    }
    if (c == ']') return false;
    if (first) return true;
    if (c != ',') {
        fail_at_next("expected `,` or `]`");
        return false;
    }
    ++pos_;
    const int next = peek_token();
    if (next == ']') {
        fail_at_next("trailing comma");
        return false;
    }
    if (next < 0) {
        fail_at_next(kEofValue);
        return false;
    }
    return true;
}

bool Reader::has_next_key(bool first) {
    const int c = peek_token();
    if (c < 0) {
        fail_at_next(kEofObject);
        return false;
    }
    if (c == '}') return false;
    if (first) {
        if (c == '"') return true;
        fail_at_next("key must be a string");
        return false;
    }
    if (c != ',') {
        fail_at_next("expected `,` or `}`");
        return false;
    }
    ++pos_;
    const int next = peek_token();
    if (next == '"') return true;
    if (next == '}')
        fail_at_next("trailing comma");
    else if (next < 0)
        fail_at_next(kEofValue);
    else
        fail_at_next("key must be a string");
    return false;
}

bool Reader::read_colon() {
    const int c = peek_token();
    if (c == ':') {
        ++pos_;
        return true;
    }
    fail_at_next(c < 0 ? kEofObject : "expected `:`");
    return false;
}

bool Reader::close_array() {
    const int c = peek_token();
    if (c == ']') {
        ++pos_;
        return true;
    }
    if (c == ',') {
        ++pos_;
        fail_at_next(peek_token() == ']' ? "trailing comma" : "trailing characters");
    } else {
        fail_at_next(c < 0 ? kEofList : "trailing characters");
    }
    return false;
}

bool Reader::close_object() {
    const int c = peek_token();
    if (c == '}') {
        ++pos_;
        return true;
    }
    if (c == ',')
        fail_at_next("trailing comma");
    else
        fail_at_next(c < 0 ? kEofObject : "trailing characters");
    return false;
}

bool Reader::finish() {
    if (peek_token() < 0) return true;
    fail_at_next("trailing characters");
    return false;
}

// Called with the cursor on the first digit (after a '-', if any). Integers that fit
// stay integers: unsigned when positive, signed when negative; "-0", fractions,
// exponents and integers too large for 64 bits become doubles.
Value Reader::read_number(bool positive) {
    const std::size_t start = positive ? pos_ : pos_ - 1;
    const int first = next_byte();
    if (first < 0) {
        fail(kEofValue);
        return {};
    }
    std::uint64_t significand = 0;
    bool is_float = false;
    bool nonzero_mantissa = false;
    if (first == '0') {
        if (is_digit(peek_byte())) {
            fail_at_next(kInvalidNumber);
            return {};
        }
    } else if (is_digit(first)) {
        significand = static_cast<std::uint64_t>(first - '0');
        nonzero_mantissa = true;
        // Nineteen digits fit 64 bits whatever they are: the next 18 need no check.
        const std::size_t unchecked_end = pos_ + std::min<std::size_t>(18, text_.size() - pos_);
        while (pos_ < unchecked_end && is_digit(text_[pos_])) {
            significand = significand * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
            ++pos_;
        }
        for (int c = peek_byte(); is_digit(c); c = peek_byte()) {
            const auto digit = static_cast<std::uint64_t>(c - '0');
            if (significand > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
                is_float = true;  // too large for 64 bits: the rest of the digits go to the double
                while (is_digit(peek_byte())) ++pos_;
                break;
            }
            significand = significand * 10 + digit;
            ++pos_;
        }
    } else {
        fail(kInvalidNumber);
        return {};
    }

    int c = peek_byte();
    if (c == '.') {
        ++pos_;
        std::size_t fraction_digits = 0;
        for (c = peek_byte(); is_digit(c); c = peek_byte()) {
            nonzero_mantissa |= c != '0';
            ++fraction_digits;
            ++pos_;
        }
        if (fraction_digits == 0) {
            fail_at_next(c < 0 ? kEofValue : kInvalidNumber);
            return {};
        }
        is_float = true;
    }
    if (c == 'e' || c == 'E') {
        ++pos_;
        bool positive_exponent = true;
        const int sign = peek_byte();
        if (sign == '+' || sign == '-') {
            positive_exponent = sign == '+';
            ++pos_;
        }
        const int lead = next_byte();
        if (lead < 0) {
            fail(kEofValue);
            return {};
        }
        if (!is_digit(lead)) {
            fail(kInvalidNumber);
            return {};
        }
        std::int32_t exponent = lead - '0';
        for (int d = peek_byte(); is_digit(d); d = peek_byte()) {
            ++pos_;
            const int digit = d - '0';
            if (exponent > (std::numeric_limits<std::int32_t>::max() - digit) / 10) {
                // An exponent beyond 32 bits: infinite unless the mantissa is zero or the
                // exponent negative, which give zero.
                if (nonzero_mantissa && positive_exponent) {
                    fail(kOutOfRange);
                    return {};
                }
                while (is_digit(peek_byte())) ++pos_;
                return Value(positive ? 0.0 : -0.0);
            }
            exponent = exponent * 10 + digit;
        }
        is_float = true;
    }

    if (!is_float) {
        if (positive) return Value(significand);
        if (significand == 0) return Value(-0.0);
        if (significand <= static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) + 1) {
            return Value(static_cast<std::int64_t>(0 - significand));
        }
    }
    const std::string_view number = text_.substr(start, pos_ - start);
    double d = 0;
    const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), d);
    static_cast<void>(end);
    if (ec == std::errc::result_out_of_range) {
        if (is_huge(number)) {
            fail(kOutOfRange);
            return {};
        }
        d = positive ? 0.0 : -0.0;
    } else if (ec != std::errc()) {
        fail(kInvalidNumber);  // not reached: the grammar was checked above
        return {};
    }
    return Value(d);
}

std::string Reader::read_string_body() {
    std::string out;
    if (!read_string_into(out)) return {};
    return out;
}

bool Reader::read_string_into(std::string& out) {
    const std::size_t base = out.size();
    const char* const data = text_.data();
    const std::size_t size = text_.size();
    bool seen_high = false;
    for (;;) {
        const std::size_t run_start = pos_;
        const RunEnd run = find_run_end(data, pos_, size);
        pos_ = run.at;
        seen_high |= run.high;
        if (pos_ == size) {
            fail(kEofString);
            return false;
        }
        const char c = data[pos_];
        out.append(data + run_start, pos_ - run_start);
        ++pos_;
        if (c == '"') break;
        if (c != '\\') {
            fail("control character (\\u0000-\\u001F) found while parsing a string");
            return false;
        }
        if (!read_escape(out)) return false;
    }
    // Escapes always give valid UTF-8; raw bytes from a caller that skipped validation may not.
    if (seen_high && !text::is_valid_utf8(std::string_view(out).substr(base))) {
        fail("invalid unicode code point");
        return false;
    }
    return true;
}

std::string_view Reader::read_string_view(std::string& scratch) {
    const std::size_t start = pos_;
    const RunEnd run = find_run_end(text_.data(), start, text_.size());
    if (run.at < text_.size() && text_[run.at] == '"') {
        const std::string_view body = text_.substr(start, run.at - start);
        if (!run.high || text::is_valid_utf8(body)) {
            pos_ = run.at + 1;
            return body;
        }
    }
    // Escapes, faults and bad UTF-8 take the decoding path, which reports them.
    scratch.clear();
    if (!read_string_into(scratch)) return {};
    return scratch;
}

bool Reader::read_escape(std::string& out) {
    const int c = next_byte();
    switch (c) {
        case -1: fail(kEofString); return false;
        case '"': out.push_back('"'); return true;
        case '\\': out.push_back('\\'); return true;
        case '/': out.push_back('/'); return true;
        case 'b': out.push_back('\b'); return true;
        case 'f': out.push_back('\f'); return true;
        case 'n': out.push_back('\n'); return true;
        case 'r': out.push_back('\r'); return true;
        case 't': out.push_back('\t'); return true;
        case 'u': return read_unicode_escape(out);
        default: fail("invalid escape"); return false;
    }
}

// Four hex digits, consumed as a block; -1 (and failed) when they are missing or bad.
int Reader::read_hex4() {
    if (text_.size() - pos_ < 4) {
        pos_ = text_.size();
        fail(kEofString);
        return -1;
    }
    int value = 0;
    bool valid = true;
    for (std::size_t i = 0; i < 4; ++i) {
        const int digit = hex_value(text_[pos_ + i]);
        valid &= digit >= 0;
        value = value * 16 + digit;
    }
    pos_ += 4;
    if (!valid) {
        fail("invalid escape");
        return -1;
    }
    return value;
}

// After "\u": a code point of the basic plane, or a surrogate pair written as two escapes.
bool Reader::read_unicode_escape(std::string& out) {
    const int lead = read_hex4();
    if (lead < 0) return false;
    if (lead >= 0xDC00 && lead <= 0xDFFF) {
        fail(kLoneSurrogate);
        return false;
    }
    if (lead < 0xD800 || lead > 0xDBFF) {
        append_utf8(out, static_cast<std::uint32_t>(lead));
        return true;
    }
    for (char expected : {'\\', 'u'}) {
        const int c = peek_byte();
        if (c < 0) {
            fail(kEofString);
            return false;
        }
        ++pos_;
        if (c != expected) {
            fail("unexpected end of hex escape");
            return false;
        }
    }
    const int trail = read_hex4();
    if (trail < 0) return false;
    if (trail < 0xDC00 || trail > 0xDFFF) {
        fail(kLoneSurrogate);
        return false;
    }
    append_utf8(out, 0x10000 + ((static_cast<std::uint32_t>(lead) - 0xD800) << 10) +
                         (static_cast<std::uint32_t>(trail) - 0xDC00));
    return true;
}

Expected<Value, Error> parse(std::string_view text) {
    try {
        Reader reader(text);
        Value value = reader.read_value(0);
        if (!reader.failed()) reader.finish();
        if (reader.failed()) {
            release(value);
            return unexpected(reader.error());
        }
        return value;
    } catch (const std::bad_alloc&) {
        // TooLarge included: the reader released what it had built.
        return unexpected(Error{"memory allocation failed", 0, 0});
    }
}

}  // namespace quillfern::json
