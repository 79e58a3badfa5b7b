#include "rust_text.hpp"

#include <fmt/format.h>

#include "quillfern/text.hpp"

namespace quillfern::cli::detail {
namespace {

struct LeadByte {
    std::size_t continuations;  // bytes that must follow
    unsigned char second_lo;    // allowed range of the second byte
    unsigned char second_hi;
};

// The shape a lead byte demands; continuations == 0 with lo > hi means "not a lead".
LeadByte classify(unsigned char c) noexcept {
    if (c < 0x80) return {0, 1, 0};
    if (c >= 0xC2 && c <= 0xDF) return {1, 0x80, 0xBF};
    if (c == 0xE0) return {2, 0xA0, 0xBF};
    if (c == 0xED) return {2, 0x80, 0x9F};
    if (c >= 0xE1 && c <= 0xEF) return {2, 0x80, 0xBF};
    if (c == 0xF0) return {3, 0x90, 0xBF};
    if (c >= 0xF1 && c <= 0xF3) return {3, 0x80, 0xBF};
    if (c == 0xF4) return {3, 0x80, 0x8F};
    return {0, 0xFF, 0x00};
}

// How many bytes from `pos` on a valid sequence would use: the lead byte and the
// continuation bytes that fit, up to the first that does not.
std::size_t matched_prefix(std::string_view bytes, std::size_t pos) noexcept {
    const auto lead = static_cast<unsigned char>(bytes[pos]);
    const LeadByte shape = classify(lead);
    if (lead < 0x80) return 1;
    if (shape.continuations == 0) return 0;
    std::size_t taken = 1;
    for (std::size_t i = 1; i <= shape.continuations; ++i) {
        if (pos + i >= bytes.size()) break;
        const auto b = static_cast<unsigned char>(bytes[pos + i]);
        const unsigned char lo = i == 1 ? shape.second_lo : 0x80;
        const unsigned char hi = i == 1 ? shape.second_hi : 0xBF;
        if (b < lo || b > hi) break;
        ++taken;
    }
    return taken;
}

}  // namespace

std::string to_string_lossy(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t pos = 0;
    while (pos < bytes.size()) {
        const std::size_t valid = text::utf8_sequence_length(bytes, pos);
        if (valid > 0) {
            out.append(bytes.substr(pos, valid));
            pos += valid;
            continue;
        }
        out.append("\xEF\xBF\xBD");
        pos += std::max<std::size_t>(matched_prefix(bytes, pos), 1);
    }
    return out;
}

std::size_t display_width(std::string_view text) noexcept {
    std::size_t width = 0;
    bool in_control_sequence = false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = text::decode_utf8(text, pos);
        if (c < 0x20 || c == 0x7F) {
            in_control_sequence = true;
        } else if (in_control_sequence && c == U'm') {
            in_control_sequence = false;
            continue;
        }
        if (!in_control_sequence) ++width;
    }
    return width;
}

std::string_view trim_end(std::string_view text) noexcept {
    std::size_t keep = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const char32_t c = text::decode_utf8(text, pos);
        if (!text::is_unicode_whitespace(c)) keep = pos;
    }
    return text.substr(0, keep);
}

}  // namespace quillfern::cli::detail
