// Bytes written as hexadecimal text, as the wire layouts are usually shown.
#pragma once

#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace quillfern::tarpc_service::testing {

using Bytes = std::vector<std::uint8_t>;

// "00 0a fb 2c 01" (blanks optional) to its bytes.
inline Bytes hex(std::string_view text) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        throw std::invalid_argument("not a hex digit");
    };
    Bytes out;
    int high = -1;
    for (char c : text) {
        if (c == ' ') continue;
        if (high < 0) {
            high = nibble(c);
        } else {
            out.push_back(static_cast<std::uint8_t>(high * 16 + nibble(c)));
            high = -1;
        }
    }
    if (high >= 0) throw std::invalid_argument("odd number of hex digits");
    return out;
}

// The bytes of a text.
inline Bytes ascii(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Lower-case hex with one blank between bytes, for readable failure messages.
inline std::string to_hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::uint8_t b : bytes) {
        if (!out.empty()) out += ' ';
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

}  // namespace quillfern::tarpc_service::testing
