// Wall-clock seconds and the nonces of entries created on this gate.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

#include <unistd.h>

#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip {
namespace {

// Two lowercase hexadecimal digits for each byte value.
constexpr std::array<char, 512> kHexPairs = [] {
    std::array<char, 512> pairs{};
    for (std::size_t b = 0; b < 256; ++b) {
        pairs[2 * b] = "0123456789abcdef"[b >> 4];
        pairs[2 * b + 1] = "0123456789abcdef"[b & 0xF];
    }
    return pairs;
}();

// Writes the low `2 * bytes` hexadecimal digits of `value` at `out`, zero-padded.
void put_hex(char* out, std::uint64_t value, std::size_t bytes) noexcept {
    for (std::size_t i = bytes; i-- > 0; value >>= 8) std::memcpy(out + 2 * i, &kHexPairs[2 * (value & 0xFF)], 2);
}

// The process id never changes (the server does not fork), and reading it is a system
// call: it is read once.
std::uint32_t process_id() noexcept {
    static const auto pid = static_cast<std::uint32_t>(::getpid());
    return pid;
}

std::atomic<std::uint64_t> g_inject_counter{0};

}  // namespace

std::uint64_t system_now() {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_epoch).count();
    return seconds > 0 ? static_cast<std::uint64_t>(seconds) : 0;
}

WallReading WallReading::now() noexcept {
    auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
    auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
    return WallReading{nanoseconds > 0 ? static_cast<std::uint64_t>(nanoseconds) : 0};
}

StoreClock::Stamp SystemClock::stamp() const {
    const WallReading reading = WallReading::now();
    return {reading, reading.seconds()};
}

std::string make_nonce() { return make_nonce(WallReading::now()); }

std::string make_nonce(WallReading reading) { return std::string(nonce_digits(reading).text()); }

NonceDigits nonce_digits(WallReading reading) {
    const std::uint64_t counter = g_inject_counter.fetch_add(1, std::memory_order_relaxed);
    // The wall clock as 32 digits (its upper 64 bits are zero), the process id as 8, the
    // counter as 8 or, once it passes 32 bits, as many as it takes.
    NonceDigits nonce;
    std::memset(nonce.digits, '0', 16);
    put_hex(nonce.digits + 16, reading.nanoseconds, 8);
    put_hex(nonce.digits + 32, process_id(), 4);
    std::size_t counter_bytes = 4;
    while (counter_bytes < 8 && (counter >> (8 * counter_bytes)) != 0) ++counter_bytes;
    put_hex(nonce.digits + 40, counter, counter_bytes);
    std::size_t size = 40 + 2 * counter_bytes;
    // A counter with an odd number of digits beyond 8 carries one leading zero: drop it.
    if (counter_bytes > 4 && nonce.digits[40] == '0') {
        std::memmove(nonce.digits + 40, nonce.digits + 41, size - 41);
        --size;
    }
    nonce.size = static_cast<std::uint8_t>(size);
    return nonce;
}

}  // namespace quillfern::gossip
