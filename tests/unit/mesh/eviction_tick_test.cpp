// One tick of the eviction loop: expired entries leave with their log lines, and the
// heartbeat is renewed after them.
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillfern/log.hpp"
#include "quillfern/mesh.hpp"
#include "take_pending.hpp"
#include "test_clock.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::mesh {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::UnorderedElementsAre;

using namespace testing;  // the clock

class EvictionTickTest : public ClockTest {
protected:
    gossip::GossipStore store{"gate-a", clock_};
};

TEST_F(EvictionTickTest, FirstTickAtStartLogsNothingAndRenewsTheHeartbeatSilently) {
    inject_endpoint_alive(store, 7800);
    log::testing::Capture capture("trace");
    eviction_tick(store, 7800);
    EXPECT_THAT(capture.events(), IsEmpty());
    EXPECT_EQ(take_pending(store).size(), 2u);
    EXPECT_EQ(store.stats().varne_entries, 1u);
}

TEST_F(EvictionTickTest, ExpiredEntriesLeaveThenTheHeartbeatIsRenewed) {
    inject_endpoint_alive(store, 7800);
    for (const char* key : {"a", "b"})
        ASSERT_EQ(store.inject(gossip::Topic::Data, key, 1), gossip::IngestOutcome::Accepted);
    ASSERT_EQ(store.inject(gossip::Topic::Compute, "c", 1), gossip::IngestOutcome::Accepted);
    clock_->set(kNow + 300);
    ASSERT_EQ(store.inject(gossip::Topic::Data, "young", 1), gossip::IngestOutcome::Accepted);

    clock_->set(kNow + 600);  // everything injected at kNow expires now, the heartbeat too
    log::testing::Capture capture("info");
    eviction_tick(store, 7800);
    auto events = capture.events();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_THAT(std::vector<std::string>(events.begin(), events.begin() + 3),
                UnorderedElementsAre(" INFO quillfern_core::gossip: Evicted stale gossip entries topic=varne evicted=1 "
                                     "remaining=0",
                                     " INFO quillfern_core::gossip: Evicted stale gossip entries topic=data evicted=2 "
                                     "remaining=1",
                                     " INFO quillfern_core::gossip: Evicted stale gossip entries topic=compute "
                                     "evicted=1 remaining=0"));
    EXPECT_EQ(events[3], " INFO quillfern_server: Gossip eviction cycle evicted=4");
    EXPECT_EQ(events[4], " INFO quillfern_server::announce: Injected endpoint.alive gossip entry gate=gate-a");

    const gossip::StoreStats stats = store.stats();
    EXPECT_EQ(stats.total_evicted, 4u);
    EXPECT_EQ(stats.varne_entries, 1u);
    EXPECT_EQ(stats.data_entries, 1u);
    auto heartbeat = store.query(gossip::Topic::Varne, "endpoint.alive:gate-a");
    ASSERT_EQ(heartbeat.size(), 1u);
    EXPECT_EQ(heartbeat[0].expires_at_epoch, kNow + 1200);
}

TEST_F(EvictionTickTest, FullTopicTakesNewKeysOnceItsEntriesExpire) {
    for (std::size_t i = 0; i < gossip::kTopicCapacity; ++i) {
        ASSERT_EQ(store.inject(gossip::Topic::Data, "k" + std::to_string(i), 1), gossip::IngestOutcome::Accepted);
    }
    EXPECT_EQ(store.inject(gossip::Topic::Data, "new", 1), gossip::IngestOutcome::AtCapacity);
    clock_->set(kNow + 600);
    eviction_tick(store, 7800);
    EXPECT_EQ(store.inject(gossip::Topic::Data, "new", 1), gossip::IngestOutcome::Accepted);
}

}  // namespace
}  // namespace quillfern::mesh
