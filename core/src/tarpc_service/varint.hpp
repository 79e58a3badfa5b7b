// The integer and text forms shared by the encoders: sizes first, then the writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace quillfern::tarpc_service::detail {

// Bytes of the shortest variable-length form of `n`.
constexpr std::size_t varint_size(std::uint64_t n) noexcept {
    if (n <= 250) return 1;
    if (n <= 0xFFFF) return 3;
    if (n <= 0xFFFFFFFF) return 5;
    return 9;
}

constexpr std::size_t text_size(std::string_view s) noexcept { return varint_size(s.size()) + s.size(); }

// Zigzag form of a signed 32-bit number.
constexpr std::uint64_t zigzag(std::int32_t n) noexcept {
    const std::int64_t wide = n;
    return wide >= 0 ? static_cast<std::uint64_t>(wide) * 2 : static_cast<std::uint64_t>(-wide) * 2 - 1;
}

// Writes into a buffer already sized for everything written.
class Writer {
public:
    explicit Writer(std::uint8_t* at) noexcept : at_(at) {}

    void byte(std::uint8_t b) noexcept { *at_++ = b; }

    void varint(std::uint64_t n) noexcept {
        if (n <= 250) {
            byte(static_cast<std::uint8_t>(n));
        } else if (n <= 0xFFFF) {
            byte(0xFB);
            little_endian(n, 2);
        } else if (n <= 0xFFFFFFFF) {
            byte(0xFC);
            little_endian(n, 4);
        } else {
            byte(0xFD);
            little_endian(n, 8);
        }
    }

    void text(std::string_view s) noexcept {
        varint(s.size());
        raw(s.data(), s.size());
    }

    void raw(const void* bytes, std::size_t n) noexcept {
        if (n == 0) return;
        std::memcpy(at_, bytes, n);
        at_ += n;
    }

    std::uint8_t* position() const noexcept { return at_; }

private:
    void little_endian(std::uint64_t n, int bytes) noexcept {
        for (int i = 0; i < bytes; ++i) byte(static_cast<std::uint8_t>(n >> (8 * i)));
    }

    std::uint8_t* at_;
};

}  // namespace quillfern::tarpc_service::detail
