// The compact JSON writer: no white space, keys in the object's (byte-wise) order,
// integers plain, doubles in the shortest round-trip form laid out like the rest of the
// mesh writes them ("1e16", "0.00001", "100.0"), non-finite doubles as null. Bytes of
// strings pass unchanged except the escapes; invalid UTF-8 is written as it is.
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

// The letter after the backslash of a byte's escape; 'u' for \u00xx, 0 for none.
constexpr std::array<char, 256> make_escapes() {
    std::array<char, 256> escapes{};
    for (std::size_t b = 0; b < 0x20; ++b) escapes[b] = 'u';
    escapes['\b'] = 'b';
    escapes['\t'] = 't';
    escapes['\n'] = 'n';
    escapes['\f'] = 'f';
    escapes['\r'] = 'r';
    escapes['"'] = '"';
    escapes['\\'] = '\\';
    return escapes;
}
constexpr auto kEscapes = make_escapes();
constexpr char kHexDigits[] = "0123456789abcdef";

// True when one of the eight bytes at `p` needs an escape: below 0x20, '"' or '\\'.
inline bool any_escape_in_8(const char* p) noexcept {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHighs = 0x8080808080808080u;
    std::uint64_t x;
    std::memcpy(&x, p, sizeof x);
    const std::uint64_t quote = x ^ (kOnes * '"');
    const std::uint64_t backslash = x ^ (kOnes * '\\');
    const std::uint64_t found = ((x - kOnes * 0x20) | (quote - kOnes) | (backslash - kOnes)) & ~x & kHighs;
    return found != 0;
}

// The bytes write_string adds to one byte: one for a letter escape ('"', '\\', \n, ...),
// five for a \u00xx escape.
std::size_t escape_extra(unsigned char byte) noexcept {
    const char letter = kEscapes[byte];
    return letter == 0 ? 0 : letter == 'u' ? 5 : 1;
}

// An upper bound for most texts, so that large replies are written without regrowing.
std::size_t estimated_size(const Value& value) {
    switch (value.type()) {
        case Value::value_t::string: return value.get_ptr<const Value::string_t*>()->size() + 2;
        case Value::value_t::array: {
            std::size_t size = 2;
            for (const Value& item : *value.get_ptr<const Value::array_t*>()) size += estimated_size(item) + 1;
            return size;
        }
        case Value::value_t::object: {
            std::size_t size = 2;
            for (const auto& [key, member] : *value.get_ptr<const Value::object_t*>()) {
                size += key.size() + 4 + estimated_size(member);
            }
            return size;
        }
        default: return 24;
    }
}

template <class Integer>
void write_integer(std::string& out, Integer value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void write_value(std::string& out, const Value& value) {
    switch (value.type()) {
        case Value::value_t::null:
        case Value::value_t::discarded: out.append("null"); return;
        case Value::value_t::boolean: out.append(*value.get_ptr<const Value::boolean_t*>() ? "true" : "false"); return;
        case Value::value_t::number_integer:
            write_integer(out, *value.get_ptr<const Value::number_integer_t*>());
            return;
        case Value::value_t::number_unsigned:
            write_integer(out, *value.get_ptr<const Value::number_unsigned_t*>());
            return;
        case Value::value_t::number_float: write_double(out, *value.get_ptr<const Value::number_float_t*>()); return;
        case Value::value_t::string: write_string(out, *value.get_ptr<const Value::string_t*>()); return;
        case Value::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const Value& item : *value.get_ptr<const Value::array_t*>()) {
                if (!first) out.push_back(',');
                first = false;
                write_value(out, item);
            }
            out.push_back(']');
            return;
        }
        case Value::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (const auto& [key, member] : *value.get_ptr<const Value::object_t*>()) {
                if (!first) out.push_back(',');
                first = false;
                write_string(out, key);
                out.push_back(':');
                write_value(out, member);
            }
            out.push_back('}');
            return;
        }
        case Value::value_t::binary: {  // never read from text; written as its bytes
            out.push_back('[');
            bool first = true;
            for (std::uint8_t byte : *value.get_ptr<const Value::binary_t*>()) {
                if (!first) out.push_back(',');
                first = false;
                write_integer(out, static_cast<unsigned>(byte));
            }
            out.push_back(']');
            return;
        }
    }
    out.append("null");
}

}  // namespace

void write_string(std::string& out, std::string_view s) {
    out.push_back('"');
    const char* run = s.data();
    const char* const end = s.data() + s.size();
    const char* p = run;
    for (;;) {
        // Whole words without escapes are skipped; a word with one is looked at byte by byte.
        while (end - p >= 8 && !any_escape_in_8(p)) p += 8;
        const char* const stop = end - p >= 8 ? p + 8 : end;
        for (; p != stop; ++p) {
            const char escape = kEscapes[static_cast<unsigned char>(*p)];
            if (escape == 0) continue;
            out.append(run, p);
            if (escape == 'u') {
                const auto byte = static_cast<unsigned char>(*p);
                const char text[] = {'\\', 'u', '0', '0', kHexDigits[byte >> 4], kHexDigits[byte & 0xF]};
                out.append(text, sizeof text);
            } else {
                const char text[] = {'\\', escape};
                out.append(text, sizeof text);
            }
            run = p + 1;
        }
        if (p == end) break;
    }
    out.append(run, end);
    out.push_back('"');
}

std::size_t written_string_size(std::string_view s) noexcept {
    std::size_t size = s.size() + 2;
    const char* p = s.data();
    const char* const end = p + s.size();
    // Words without an escape are skipped whole; a short tail is padded with letters.
    for (; end - p >= 8; p += 8) {
        if (!any_escape_in_8(p)) continue;
        for (std::size_t i = 0; i < 8; ++i) size += escape_extra(static_cast<unsigned char>(p[i]));
    }
    if (p == end) return size;
    char tail[8] = {'a', 'a', 'a', 'a', 'a', 'a', 'a', 'a'};
    for (std::size_t i = 0; p + i != end; ++i) tail[i] = p[i];
    if (!any_escape_in_8(tail)) return size;
    for (std::size_t i = 0; i < 8; ++i) size += escape_extra(static_cast<unsigned char>(tail[i]));
    return size;
}

void write_double(std::string& out, double d) {
    if (!std::isfinite(d)) {
        out.append("null");
        return;
    }
    // Shortest round-trip digits from the scientific form "-d.ddde-XX".
    char scientific[32];
    const auto result = std::to_chars(scientific, scientific + sizeof scientific, d, std::chars_format::scientific);
    const char* p = scientific;
    if (*p == '-') {
        out.push_back('-');
        ++p;
    }
    char digits[20];
    int length = 0;
    for (; *p != 'e'; ++p) {
        if (*p != '.') digits[length++] = *p;
    }
    ++p;  // 'e'
    int exponent = 0;
    std::from_chars(*p == '+' ? p + 1 : p, result.ptr, exponent);

    const int point = exponent + 1;  // 10^(point-1) <= |d| < 10^point
    const int trailing = point - length;
    if (trailing >= 0 && point <= 16) {  // 1234e7 -> 12340000000.0
        out.append(digits, static_cast<std::size_t>(length));
        out.append(static_cast<std::size_t>(trailing), '0');
        out.append(".0");
    } else if (point > 0 && point <= 16) {  // 1234e-2 -> 12.34
        out.append(digits, static_cast<std::size_t>(point));
        out.push_back('.');
        out.append(digits + point, static_cast<std::size_t>(length - point));
    } else if (point > -5 && point <= 0) {  // 1234e-6 -> 0.001234
        out.append("0.");
        out.append(static_cast<std::size_t>(-point), '0');
        out.append(digits, static_cast<std::size_t>(length));
    } else {  // 1e30, 1234e30 -> 1.234e33
        out.push_back(digits[0]);
        if (length > 1) {
            out.push_back('.');
            out.append(digits + 1, static_cast<std::size_t>(length - 1));
        }
        out.push_back('e');
        write_integer(out, point - 1);
    }
}

void write(std::string& out, const Value& value) { write_value(out, value); }

std::string to_string(const Value& value) {
    std::string out;
    out.reserve(estimated_size(value));
    write_value(out, value);
    return out;
}

}  // namespace quillfern::json
