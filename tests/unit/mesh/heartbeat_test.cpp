// The heartbeat entry: its key, payload and forward copy, and the log line of each
// outcome of its injection.
#include <unistd.h>

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

using namespace testing;  // the clock

class HeartbeatTest : public ClockTest {
protected:
    static std::string pid_text() { return std::to_string(::getpid()); }
    static std::string payload_text(std::string_view gate, std::uint16_t port) {
        return R"({"capabilities":["gossip"],"gate":")" + std::string(gate) + R"(","gossip_port":)" +
               std::to_string(port) + R"(,"pid":)" + pid_text() + R"(,"protocol":"json-rpc","version":"0.1.0"})";
    }
};

TEST_F(HeartbeatTest, InjectsTheEntryAndQueuesItsForwardCopy) {
    gossip::GossipStore store("gate-a", clock_);
    log::testing::Capture capture("info");
    inject_endpoint_alive(store, 7800);

    auto stored = store.query(gossip::Topic::Varne, "endpoint.alive:");
    ASSERT_EQ(stored.size(), 1u);
    const gossip::GossipEntry& entry = stored[0];
    EXPECT_EQ(gossip::text_of(entry.key), "endpoint.alive:gate-a");
    EXPECT_EQ(json::to_string(gossip::payload_of(entry.payload)), payload_text("gate-a", 7800));
    EXPECT_EQ(gossip::text_of(entry.origin_gate), "gate-a");
    EXPECT_EQ(entry.ttl, 8);
    EXPECT_EQ(entry.version, kNow);
    EXPECT_EQ(entry.created_at_epoch, kNow);
    EXPECT_EQ(entry.expires_at_epoch, kNow + 600);

    auto pending = take_pending(store);
    ASSERT_EQ(pending.size(), 1u);
    EXPECT_EQ(pending[0].ttl, 7);
    EXPECT_EQ(pending[0].nonce, entry.nonce);
    EXPECT_THAT(capture.events(),
                ElementsAre(" INFO quillfern_server::announce: Injected endpoint.alive gossip entry gate=gate-a"));
}

TEST_F(HeartbeatTest, RenewalInTheSameSecondIsSilentAndTheNextSecondReplacesIt) {
    gossip::GossipStore store("gate-a", clock_);
    inject_endpoint_alive(store, 9001);
    {
        log::testing::Capture capture("trace");
        inject_endpoint_alive(store, 9001);
        EXPECT_THAT(capture.events(), IsEmpty());
    }
    // Both injections queued a forward copy, each with its own nonce.
    auto pending = take_pending(store);
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_NE(pending[0].nonce, pending[1].nonce);

    clock_->set(kNow + 120);
    log::testing::Capture capture("info");
    inject_endpoint_alive(store, 9001);
    auto stored = store.query(gossip::Topic::Varne, std::nullopt);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].version, kNow + 120);
    EXPECT_EQ(capture.events().size(), 1u);
}

TEST_F(HeartbeatTest, KeyLengthFollowsTheKeyRules) {
    struct Case {
        std::size_t node_id_bytes;
        const char* expected_warning;  // none when accepted
    };
    for (const Case& c : {Case{241, nullptr}, Case{242, "result=Rejected"}}) {
        const std::string node_id(c.node_id_bytes, 'g');
        gossip::GossipStore store(node_id, clock_);
        log::testing::Capture capture("info");
        inject_endpoint_alive(store, 7800);
        auto events = capture.events();
        ASSERT_EQ(events.size(), 1u);
        if (c.expected_warning) {
            EXPECT_EQ(events[0], " WARN quillfern_server::announce: endpoint.alive injection unexpected result gate=" +
                                     node_id + " " + c.expected_warning);
            EXPECT_TRUE(store.query(gossip::Topic::Varne, std::nullopt).empty());
        } else {
            EXPECT_EQ(events[0],
                      " INFO quillfern_server::announce: Injected endpoint.alive gossip entry gate=" + node_id);
        }
    }
}

TEST_F(HeartbeatTest, FullTopicRefusesTheFirstHeartbeatButNotItsRenewal) {
    gossip::GossipStore filled("gate-a", clock_);
    for (std::size_t i = 0; i < gossip::kTopicCapacity; ++i) {
        ASSERT_EQ(filled.inject(gossip::Topic::Varne, "k" + std::to_string(i), 1), gossip::IngestOutcome::Accepted);
    }
    {
        log::testing::Capture capture("info");
        inject_endpoint_alive(filled, 7800);
        EXPECT_THAT(capture.events(), ElementsAre(" WARN quillfern_server::announce: endpoint.alive injection "
                                                  "unexpected result gate=gate-a result=AtCapacity"));
    }

    gossip::GossipStore with_heartbeat("gate-a", clock_);
    inject_endpoint_alive(with_heartbeat, 7800);
    for (std::size_t i = 1; i < gossip::kTopicCapacity; ++i) {
        ASSERT_EQ(with_heartbeat.inject(gossip::Topic::Varne, "k" + std::to_string(i), 1),
                  gossip::IngestOutcome::Accepted);
    }
    clock_->set(kNow + 1);
    log::testing::Capture capture("info");
    inject_endpoint_alive(with_heartbeat, 7800);
    EXPECT_THAT(capture.events(),
                ElementsAre(" INFO quillfern_server::announce: Injected endpoint.alive gossip entry gate=gate-a"));
}

TEST_F(HeartbeatTest, NodeIdIsLoggedEscaped) {
    gossip::GossipStore store("gate\x1b[31m", clock_);
    log::testing::Capture capture("info");
    inject_endpoint_alive(store, 7800);
    EXPECT_THAT(capture.events(), ElementsAre(" WARN quillfern_server::announce: endpoint.alive injection unexpected "
                                              "result gate=gate\\x1b[31m result=Rejected"));
}

}  // namespace
}  // namespace quillfern::mesh
