// The plain reader: JSON text in the forms our own writer gives, taken as views into the
// text; anything it is not sure of is declined for the full reader to read.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quillfern/json.hpp"
#include "quillfern/text.hpp"

namespace quillfern::json {
namespace {

bool is_digit(int c) noexcept { return c >= '0' && c <= '9'; }

// The first of the sixteen bytes at `p` that is '"', '\\', below 0x20 or 0x80 and above,
// or 16 when none is.
inline unsigned first_special_in_16(const char* p) noexcept {
#if defined(__SSE2__)
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    // Compared as signed bytes, those of 0x80 and above are below 0x20 too.
    const __m128i special = _mm_or_si128(
        _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('"')), _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'))),
        _mm_cmplt_epi8(bytes, _mm_set1_epi8(0x20)));
    const auto mask = static_cast<unsigned>(_mm_movemask_epi8(special));
    return mask == 0 ? 16 : static_cast<unsigned>(__builtin_ctz(mask));
#else
    for (unsigned i = 0; i < 16; ++i) {
        const auto c = static_cast<unsigned char>(p[i]);
        if (c == '"' || c == '\\' || c < 0x20 || c >= 0x80) return i;
    }
    return 16;
#endif
}

bool is_blank(unsigned char c) noexcept { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; }

}  // namespace

int PlainReader::peek() noexcept {
    while (pos_ < text_.size()) {
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (!is_blank(c)) return c;
        ++pos_;
    }
    return -1;
}

bool PlainReader::take(char c) noexcept {
    if (peek() == static_cast<unsigned char>(c)) {
        ++pos_;
        return true;
    }
    declined_ = true;
    return false;
}

bool PlainReader::take_if(char c) noexcept {
    if (peek() != static_cast<unsigned char>(c)) return false;
    ++pos_;
    return true;
}

std::string_view PlainReader::string_body() noexcept {
    const std::size_t start = pos_;
    bool high = false;
    for (;;) {
        while (text_.size() - pos_ >= 16) {
            const unsigned at = first_special_in_16(text_.data() + pos_);
            pos_ += at;
            if (at < 16) break;
        }
        if (pos_ >= text_.size()) {
            declined_ = true;
            return {};
        }
        const auto c = static_cast<unsigned char>(text_[pos_]);
        if (c == '"') break;
        if (c == '\\' || c < 0x20) {
            declined_ = true;
            return {};
        }
        if (c >= 0x80) high = true;
        ++pos_;
    }
    const std::string_view body = text_.substr(start, pos_ - start);
    ++pos_;  // the closing quote
    if (high && !text::is_valid_utf8(body)) {
        declined_ = true;
        return {};
    }
    return body;
}

std::string_view PlainReader::string() noexcept {
    if (!take('"')) return {};
    return string_body();
}

std::string_view PlainReader::name() noexcept {
    const std::string_view body = string();
    if (declined_ || !take(':')) return {};
    return body;
}

std::uint64_t PlainReader::unsigned_integer() noexcept {
    const int first = peek();
    if (!is_digit(first)) {
        declined_ = true;
        return 0;
    }
    const std::size_t start = pos_;
    std::uint64_t value = 0;
    // Nineteen digits fit 64 bits whatever they are; a twentieth is checked.
    const std::size_t unchecked_end = pos_ + std::min<std::size_t>(19, text_.size() - pos_);
    while (pos_ < unchecked_end && is_digit(text_[pos_])) {
        value = value * 10 + static_cast<std::uint64_t>(text_[pos_] - '0');
        ++pos_;
    }
    if (pos_ < text_.size() && is_digit(text_[pos_])) {
        const auto digit = static_cast<std::uint64_t>(text_[pos_] - '0');
        if (__builtin_mul_overflow(value, 10, &value) || __builtin_add_overflow(value, digit, &value)) {
            declined_ = true;
            return 0;
        }
        ++pos_;
    }
    // A leading zero, a 21st digit, a fraction or an exponent: not plain.
    if ((first == '0' && pos_ - start > 1) || (pos_ < text_.size() && (is_digit(text_[pos_]) || text_[pos_] == '.' ||
                                                                       text_[pos_] == 'e' || text_[pos_] == 'E'))) {
        declined_ = true;
    }
    return value;
}

bool PlainReader::literal(std::string_view word) noexcept {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
}

// 0, or up to 19 digits, or a minus and up to 18: within 64 bits whichever the class,
// written back the same. No fraction or exponent may follow.
bool PlainReader::canonical_integer() noexcept {
    const bool negative = text_[pos_] == '-';
    if (negative) ++pos_;
    const std::size_t start = pos_;
    if (pos_ >= text_.size() || !is_digit(text_[pos_])) return false;
    if (text_[pos_] == '0') {
        ++pos_;
        if (negative) return false;  // -0 reads as 0
    } else {
        while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
        if (pos_ - start > (negative ? 18u : 19u)) return false;
    }
    if (pos_ < text_.size()) {
        const char next = text_[pos_];
        if (is_digit(next) || next == '.' || next == 'e' || next == 'E') return false;
    }
    return true;
}

bool PlainReader::canonical_at(std::uint32_t depth_left) noexcept {
    if (pos_ >= text_.size()) return false;
    switch (text_[pos_]) {
        case '"':
            ++pos_;
            static_cast<void>(string_body());
            return !declined_;
        case 't': return literal("true");
        case 'f': return literal("false");
        case 'n': return literal("null");
        case '[':
            if (depth_left == 0) return false;
            ++pos_;
            if (pos_ < text_.size() && text_[pos_] == ']') {
                ++pos_;
                return true;
            }
            for (;;) {
                if (!canonical_at(depth_left - 1) || pos_ >= text_.size()) return false;
                const char next = text_[pos_++];
                if (next == ']') return true;
                if (next != ',') return false;
            }
        case '{': {
            if (depth_left == 0) return false;
            ++pos_;
            if (pos_ < text_.size() && text_[pos_] == '}') {
                ++pos_;
                return true;
            }
            std::string_view last;
            for (bool first = true;; first = false) {
                if (pos_ >= text_.size() || text_[pos_] != '"') return false;
                ++pos_;
                const std::string_view key = string_body();
                // Sorted byte-wise, each key once: as the writer lays out an object.
                if (declined_ || (!first && !(last < key))) return false;
                last = key;
                if (pos_ >= text_.size() || text_[pos_] != ':') return false;
                ++pos_;
                if (!canonical_at(depth_left - 1) || pos_ >= text_.size()) return false;
                const char next = text_[pos_++];
                if (next == '}') return true;
                if (next != ',') return false;
            }
        }
        default:
            if (text_[pos_] == '-' || is_digit(text_[pos_])) return canonical_integer();
            return false;
    }
}

std::string_view PlainReader::canonical_value(std::uint32_t max_depth) noexcept {
    if (peek() < 0) {
        declined_ = true;
        return {};
    }
    const std::size_t start = pos_;
    if (!canonical_at(max_depth)) {
        declined_ = true;
        return {};
    }
    return text_.substr(start, pos_ - start);
}

bool PlainReader::at_end() noexcept {
    if (peek() < 0) return true;
    declined_ = true;
    return false;
}

}  // namespace quillfern::json
