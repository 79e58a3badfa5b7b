// Test support: a running store on a clock the test holds.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::testing {

// A store past its start, its time read from `clock` (standing at kNow unless the test
// moves it) and bounded by `limits`. A store that does not start throws.
inline std::shared_ptr<gossip::GossipStore> make_started_store(
    std::string node_id = "gate-a", std::shared_ptr<const gossip::StoreClock> clock = FakeClock::at(kNow),
    gossip::StoreLimits limits = {}) {
    auto store = std::make_shared<gossip::GossipStore>(std::move(node_id), std::move(clock), limits);
    if (auto started = store->start(); !started) {
        throw std::logic_error("a new store does not start: " + started.error().to_string());
    }
    return store;
}

}  // namespace quillfern::testing
