// Wall-clock seconds and the nonces of entries created on this gate.
#include <chrono>
#include <cstdint>

#include <unistd.h>

#include "quillfern/gossip.hpp"

namespace quillfern::gossip {
namespace {

__extension__ typedef unsigned __int128 u128;

// Lowercase hexadecimal, zero-padded to at least `min_width` digits.
void append_hex(std::string& out, u128 value, std::size_t min_width) {
    char digits[32];
    std::size_t count = 0;
    do {
        digits[count++] = "0123456789abcdef"[static_cast<unsigned>(value & 0xF)];
        value >>= 4;
    } while (value != 0);
    for (std::size_t i = count; i < min_width; ++i) out.push_back('0');
    while (count > 0) out.push_back(digits[--count]);
}

std::atomic<std::uint64_t> g_inject_counter{0};

}  // namespace

std::uint64_t system_now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

std::string make_nonce() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    u128 wall_ns = nanoseconds > 0 ? static_cast<u128>(nanoseconds) : 0;
    auto pid = static_cast<std::uint32_t>(::getpid());
    std::uint64_t counter = g_inject_counter.fetch_add(1, std::memory_order_relaxed);

    std::string nonce;
    nonce.reserve(48);
    append_hex(nonce, wall_ns, 32);
    append_hex(nonce, pid, 8);
    append_hex(nonce, counter, 8);
    return nonce;
}

}  // namespace quillfern::gossip
