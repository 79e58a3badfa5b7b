// A store on a hand-set clock, and a builder of entries as a peer would send them.
#pragma once

#include <cstdint>
#include <memory>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip {

// Readable failure messages: records print as their JSON text.
inline void PrintTo(const GossipEntry& entry, std::ostream* os) { *os << json::to_string(entry.to_json()); }
inline void PrintTo(const PeerStats& stats, std::ostream* os) { *os << json::to_string(stats.to_json()); }
inline void PrintTo(const StoreStats& stats, std::ostream* os) { *os << json::to_string(stats.to_json()); }

}  // namespace quillfern::gossip

namespace quillfern::gossip::testing {

using quillfern::testing::kNow;

using quillfern::testing::FakeClock;

struct EntrySpec {
    Topic topic = Topic::Data;
    std::string key = "user.alice";
    std::string nonce = "nonce-1";
    std::uint8_t ttl = 8;
    std::uint64_t version = kNow;
    std::uint64_t expires_at = kNow + 600;
    json::Value payload = {{"status", "online"}};
    std::string origin = "gate-b";
};

inline GossipEntry make_entry(EntrySpec spec) {
    GossipEntry entry;
    entry.topic = spec.topic;
    entry.key = share_text(std::move(spec.key));
    entry.payload = share_payload(std::move(spec.payload));
    entry.origin_gate = share_text(std::move(spec.origin));
    entry.nonce = std::move(spec.nonce);
    entry.ttl = spec.ttl;
    entry.version = spec.version;
    entry.created_at_epoch = kNow - 5;
    entry.expires_at_epoch = spec.expires_at;
    return entry;
}

class StoreTest : public ::testing::Test {
protected:
    void set_now(std::uint64_t now) { clock->set(now); }

    PeerStats peer(const std::string& id) const {
        auto peers = store.peer_stats();
        auto found = peers.find(id);
        return found == peers.end() ? PeerStats{} : found->second;
    }

    std::shared_ptr<FakeClock> clock = FakeClock::at(kNow);
    GossipStore store{"gate-a", clock};
};

}  // namespace quillfern::gossip::testing
