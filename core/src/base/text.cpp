#include "quillfern/text.hpp"

#include <cstdlib>
#include <limits>

namespace quillfern::text {

bool is_valid_utf8(std::string_view bytes) noexcept {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const auto* end = p + bytes.size();
    while (p < end) {
        // Fast path over ASCII, eight bytes at a time.
        while (end - p >= 8) {
            std::uint64_t chunk;
            __builtin_memcpy(&chunk, p, 8);
            if (chunk & 0x8080808080808080ULL) break;
            p += 8;
        }
        if (p >= end) break;
        unsigned char c = *p;
        if (c < 0x80) {
            ++p;
            continue;
        }
        std::size_t need;
        unsigned char lo = 0x80, hi = 0xBF;  // bounds of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            if (c == 0xE0) lo = 0xA0;  // no overlong forms
            if (c == 0xED) hi = 0x9F;  // no surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
        } else {
            return false;
        }
        if (static_cast<std::size_t>(end - p) <= need) return false;
        if (p[1] < lo || p[1] > hi) return false;
        for (std::size_t i = 2; i <= need; ++i) {
            if ((p[i] & 0xC0) != 0x80) return false;
        }
        p += need + 1;
    }
    return true;
}

bool is_unicode_whitespace(char32_t c) noexcept {
    switch (c) {
        case 0x09:
        case 0x0A:
        case 0x0B:
        case 0x0C:
        case 0x0D:
        case 0x20:
        case 0x85:
        case 0xA0:
        case 0x1680:
        case 0x2028:
        case 0x2029:
        case 0x202F:
        case 0x205F:
        case 0x3000: return true;
        default: return c >= 0x2000 && c <= 0x200A;
    }
}

char32_t decode_utf8(std::string_view s, std::size_t& pos) noexcept {
    auto b = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
    unsigned char c = b(pos);
    if (c < 0x80) {
        ++pos;
        return c;
    }
    if (c < 0xE0 && pos + 1 < s.size()) {
        char32_t r = ((c & 0x1F) << 6) | (b(pos + 1) & 0x3F);
        pos += 2;
        return r;
    }
    if (c < 0xF0 && pos + 2 < s.size()) {
        char32_t r = ((c & 0x0F) << 12) | ((b(pos + 1) & 0x3F) << 6) | (b(pos + 2) & 0x3F);
        pos += 3;
        return r;
    }
    if (pos + 3 < s.size()) {
        char32_t r =
            ((c & 0x07) << 18) | ((b(pos + 1) & 0x3F) << 12) | ((b(pos + 2) & 0x3F) << 6) | (b(pos + 3) & 0x3F);
        pos += 4;
        return r;
    }
    pos = s.size();
    return 0xFFFD;
}

namespace {

// Length in bytes of the white-space code point that ends at `end`, or 0.
std::size_t trailing_space_len(std::string_view s, std::size_t end) {
    std::size_t start = end;
    while (start > 0 && (static_cast<unsigned char>(s[start - 1]) & 0xC0) == 0x80 && end - start < 3) --start;
    if (start > 0) --start;
    std::size_t pos = start;
    char32_t c = decode_utf8(s, pos);
    return (pos == end && is_unicode_whitespace(c)) ? end - start : 0;
}

}  // namespace

std::string_view trim(std::string_view s) noexcept {
    std::size_t begin = 0;
    while (begin < s.size()) {
        unsigned char c = static_cast<unsigned char>(s[begin]);
        if (c < 0x80) {
            if (!is_unicode_whitespace(c)) break;
            ++begin;
            continue;
        }
        std::size_t pos = begin;
        if (!is_unicode_whitespace(decode_utf8(s, pos))) break;
        begin = pos;
    }
    std::size_t end = s.size();
    while (end > begin) {
        unsigned char c = static_cast<unsigned char>(s[end - 1]);
        if (c < 0x80) {
            if (!is_unicode_whitespace(c)) break;
            --end;
            continue;
        }
        std::size_t n = trailing_space_len(s, end);
        if (n == 0) break;
        end -= n;
    }
    return s.substr(begin, end - begin);
}

std::string ascii_lowercase(std::string_view s) {
    std::string out(s);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

namespace {
constexpr const char* kEmpty = "cannot parse integer from empty string";
constexpr const char* kInvalidDigit = "invalid digit found in string";
constexpr const char* kTooLarge = "number too large to fit in target type";
constexpr const char* kTooSmall = "number too small to fit in target type";
}  // namespace

Expected<std::uint64_t, std::string> parse_u64(std::string_view s) {
    if (s.empty()) return unexpected(std::string(kEmpty));
    if (s.front() == '+') {
        s.remove_prefix(1);
        if (s.empty()) return unexpected(std::string(kInvalidDigit));
    }
    // Digit by digit, like Rust: the first fault met decides the error.
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return unexpected(std::string(kInvalidDigit));
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (std::numeric_limits<std::uint64_t>::max() - digit) / 10) {
            return unexpected(std::string(kTooLarge));
        }
        value = value * 10 + digit;
    }
    return value;
}

Expected<std::int64_t, std::string> parse_i64(std::string_view s) {
    if (s.empty()) return unexpected(std::string(kEmpty));
    bool negative = false;
    if (s.front() == '+' || s.front() == '-') {
        negative = s.front() == '-';
        s.remove_prefix(1);
        if (s.empty()) return unexpected(std::string(kInvalidDigit));
    }
    // Accumulate the magnitude; i64's range is asymmetric by one.
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    std::uint64_t value = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return unexpected(std::string(kInvalidDigit));
        std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
        if (value > (limit - digit) / 10) return unexpected(std::string(negative ? kTooSmall : kTooLarge));
        value = value * 10 + digit;
    }
    if (negative) return static_cast<std::int64_t>(0 - value);
    return static_cast<std::int64_t>(value);
}

std::optional<std::string> env_utf8(const char* name) {
    const char* raw = std::getenv(name);
    if (raw == nullptr) return std::nullopt;
    std::string_view value(raw);
    if (!is_valid_utf8(value)) return std::nullopt;
    return std::string(value);
}

}  // namespace quillfern::text
