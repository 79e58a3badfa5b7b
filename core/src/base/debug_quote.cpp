#include <cstdint>
#include <string>

#include "quillfern/text.hpp"

namespace quillfern::text {
namespace {

struct Range {
    char32_t first, last;
};

// Characters that Rust's debug form writes as \u{..}: control and format characters,
// separators other than the space, private use, non-characters, and the combining
// (grapheme-extending) marks of the common blocks.
constexpr Range kEscapedRanges[] = {
    {0x0000, 0x001F}, {0x007F, 0x009F}, {0x00A0, 0x00A0},   {0x00AD, 0x00AD},   {0x0300, 0x036F},    {0x0483, 0x0489},
    {0x0591, 0x05BD}, {0x0600, 0x0605}, {0x061C, 0x061C},   {0x06DD, 0x06DD},   {0x070F, 0x070F},    {0x1680, 0x1680},
    {0x180E, 0x180E}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF},   {0x2000, 0x200F},   {0x2028, 0x202F},    {0x205F, 0x206F},
    {0x20D0, 0x20FF}, {0x3000, 0x3000}, {0xD800, 0xF8FF},   {0xFE00, 0xFE0F},   {0xFE20, 0xFE2F},    {0xFEFF, 0xFEFF},
    {0xFFF0, 0xFFFB}, {0xFFFE, 0xFFFF}, {0x1D173, 0x1D17A}, {0xE0000, 0xE0FFF}, {0xF0000, 0x10FFFF},
};

bool escaped_in_debug(char32_t c) noexcept {
    for (const Range& range : kEscapedRanges) {
        if (c < range.first) return false;  // the ranges are sorted
        if (c <= range.last) return true;
    }
    return false;
}

void append_hex_escape(std::string& out, char32_t c) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.append("\\u{");
    bool leading = true;
    for (int shift = 20; shift >= 0; shift -= 4) {
        const auto digit = static_cast<unsigned>((c >> shift) & 0xF);
        if (leading && digit == 0 && shift > 0) continue;
        leading = false;
        out.push_back(kHex[digit]);
    }
    out.push_back('}');
}

}  // namespace

std::size_t utf8_sequence_length(std::string_view s, std::size_t pos) noexcept {
    const auto lead = static_cast<unsigned char>(s[pos]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (pos + length > s.size()) return 0;
    return is_valid_utf8(s.substr(pos, length)) ? length : 0;
}

void append_debug_quoted(std::string& out, std::string_view s, InvalidBytes invalid) {
    out.reserve(out.size() + s.size() + 2);
    out.push_back('"');
    for (std::size_t pos = 0; pos < s.size();) {
        const char byte = s[pos];
        switch (byte) {
            case '"':
                out.append("\\\"");
                ++pos;
                continue;
            case '\\':
                out.append("\\\\");
                ++pos;
                continue;
            case '\n':
                out.append("\\n");
                ++pos;
                continue;
            case '\r':
                out.append("\\r");
                ++pos;
                continue;
            case '\t':
                out.append("\\t");
                ++pos;
                continue;
            case '\0':
                out.append("\\0");
                ++pos;
                continue;
            default: break;
        }
        const std::size_t length = utf8_sequence_length(s, pos);
        if (length == 0) {
            if (invalid == InvalidBytes::HexEscape) {
                static constexpr char kHex[] = "0123456789ABCDEF";
                const auto b = static_cast<unsigned char>(byte);
                out.append("\\x");
                out.push_back(kHex[b >> 4]);
                out.push_back(kHex[b & 0xF]);
            } else {
                out.append("\xEF\xBF\xBD");  // U+FFFD
            }
            ++pos;
            continue;
        }
        std::size_t next = pos;
        const char32_t c = decode_utf8(s, next);
        if (escaped_in_debug(c))
            append_hex_escape(out, c);
        else
            out.append(s.substr(pos, length));
        pos += length;
    }
    out.push_back('"');
}

std::string debug_quoted(std::string_view s, InvalidBytes invalid) {
    std::string out;
    append_debug_quoted(out, s, invalid);
    return out;
}

}  // namespace quillfern::text
