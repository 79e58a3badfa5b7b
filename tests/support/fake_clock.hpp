// A store clock set by hand: whole seconds that move only when a test moves them.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "quillfern/gossip_store.hpp"

namespace quillfern::testing {

// Where the tests' clocks start: a fixed instant, so that expected texts can name times.
inline constexpr std::uint64_t kNow = 1'700'000'000;

class FakeClock final : public gossip::StoreClock {
public:
    explicit FakeClock(std::uint64_t now) noexcept : now_(now) {}
    static std::shared_ptr<FakeClock> at(std::uint64_t now) { return std::make_shared<FakeClock>(now); }

    std::uint64_t now() const override { return now_.load(std::memory_order_relaxed); }
    void set(std::uint64_t now) noexcept { now_.store(now, std::memory_order_relaxed); }
    void advance(std::uint64_t seconds = 1) noexcept { now_.fetch_add(seconds, std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> now_;
};

}  // namespace quillfern::testing
