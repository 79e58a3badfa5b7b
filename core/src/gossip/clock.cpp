// Wall-clock seconds and the nonces of entries created on this gate.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>

#include <unistd.h>

#include "quillfern/gossip.hpp"

namespace quillfern::gossip {
namespace {

__extension__ typedef unsigned __int128 u128;

// Writes `value` in lowercase hexadecimal, zero-padded to at least `min_width` digits, so
// that it ends just before `end`; gives the position of its first digit. `end` must have
// room for 32 digits before it.
char* put_hex_before(char* end, u128 value, std::size_t min_width) noexcept {
    char* first = end;
    do {
        *--first = "0123456789abcdef"[static_cast<unsigned>(value & 0xF)];
        value >>= 4;
    } while (value != 0);
    while (static_cast<std::size_t>(end - first) < min_width) *--first = '0';
    return first;
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
    const u128 wall_ns = reading.nanoseconds;
    std::uint64_t counter = g_inject_counter.fetch_add(1, std::memory_order_relaxed);

    // Written back to front: 48 digits, more once the counter passes 32 bits.
    NonceDigits nonce;
    char* end = nonce.digits + sizeof nonce.digits;
    char* first = put_hex_before(end, counter, 8);
    first = put_hex_before(first, process_id(), 8);
    first = put_hex_before(first, wall_ns, 32);
    nonce.size = static_cast<std::uint8_t>(end - first);
    std::memmove(nonce.digits, first, nonce.size);
    return nonce;
}

}  // namespace quillfern::gossip
