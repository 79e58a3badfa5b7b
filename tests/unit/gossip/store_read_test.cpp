// GossipStore: queries, statistics, peer accounting, pending copies and eviction.
#include <algorithm>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillfern/log.hpp"
#include "store_fixture.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::gossip::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::SizeIs;
using ::testing::UnorderedElementsAreArray;

std::vector<std::string> keys_of(const std::vector<GossipEntry>& entries) {
    std::vector<std::string> keys;
    for (const auto& entry : entries) keys.push_back(text_of(entry.key));
    return keys;
}

// ---- Query ---------------------------------------------------------------------------------

struct PrefixCase {
    std::string name;
    std::optional<std::string> prefix;
    std::vector<std::string> keys;
};

class QueryPrefixTest : public StoreTest, public ::testing::WithParamInterface<PrefixCase> {
protected:
    void SetUp() override {
        int n = 0;
        for (const char* key : {"user.alice", "user.al", "user.bob", "host.1"}) {
            ASSERT_EQ(store.ingest(make_entry({.key = key, .nonce = "n" + std::to_string(n++)}), std::nullopt),
                      IngestOutcome::Accepted);
        }
        ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "user.carol", .nonce = "nc"}), std::nullopt),
                  IngestOutcome::Accepted);
    }
};

TEST_P(QueryPrefixTest, MatchesKeysThatBeginWithThePrefix) {
    const auto& param = GetParam();
    std::optional<std::string_view> prefix;
    if (param.prefix) prefix = *param.prefix;
    EXPECT_THAT(keys_of(store.query(Topic::Data, prefix)), UnorderedElementsAreArray(param.keys));
}

INSTANTIATE_TEST_SUITE_P(
    Prefixes, QueryPrefixTest,
    ::testing::Values(PrefixCase{"None", std::nullopt, {"user.alice", "user.al", "user.bob", "host.1"}},
                      PrefixCase{"Empty", "", {"user.alice", "user.al", "user.bob", "host.1"}},
                      PrefixCase{"Common", "user.", {"user.alice", "user.al", "user.bob"}},
                      PrefixCase{"WholeKey", "user.al", {"user.alice", "user.al"}},
                      PrefixCase{"LongerThanKey", "user.alice.x", {}}, PrefixCase{"CaseCounts", "USER.", {}},
                      PrefixCase{"NoMatch", "zzz", {}}),
    [](const auto& info) { return info.param.name; });

TEST_F(StoreTest, QueryOfEmptyTopicIsEmpty) {
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Data}), std::nullopt), IngestOutcome::Accepted);
    EXPECT_THAT(store.query(Topic::Varne, std::nullopt), IsEmpty());
    EXPECT_THAT(store.query(Topic::Compute, ""), IsEmpty());
}

TEST_F(StoreTest, QueryLeavesOutExpiredEntriesThatStatisticsStillCount) {
    ASSERT_EQ(store.ingest(make_entry({.key = "short", .nonce = "n1", .expires_at = kNow + 10}), std::nullopt),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.ingest(make_entry({.key = "long", .nonce = "n2"}), std::nullopt), IngestOutcome::Accepted);
    set_now(kNow + 9);
    EXPECT_THAT(keys_of(store.query(Topic::Data, std::nullopt)), UnorderedElementsAreArray({"short", "long"}));
    set_now(kNow + 10);
    EXPECT_THAT(keys_of(store.query(Topic::Data, std::nullopt)), ElementsAre("long"));
    EXPECT_EQ(store.stats().data_entries, 2u);
}

TEST_F(StoreTest, QueryGivesCopiesEqualToTheStoredEntries) {
    GossipEntry sent = make_entry({.ttl = 4});
    ASSERT_EQ(store.ingest(sent.clone(), std::nullopt), IngestOutcome::Accepted);
    auto first = store.query(Topic::Data, std::nullopt);
    ASSERT_THAT(first, SizeIs(1));
    EXPECT_EQ(first[0], sent);
    first[0].ttl = 0;
    EXPECT_EQ(store.query(Topic::Data, std::nullopt).at(0).ttl, 4);
}

// ---- Statistics ----------------------------------------------------------------------------

TEST_F(StoreTest, StatisticsCountPerTopicNoncesPeersAndTotals) {
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Varne, .key = "v", .nonce = "n1"}), "peer-1"),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "c1", .nonce = "n2"}), "peer-2"),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "c2", .nonce = "n3", .expires_at = kNow + 1}),
                           std::nullopt),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.ingest(make_entry({.key = "d", .nonce = "n1"}), "peer-3"), IngestOutcome::Duplicate);
    set_now(kNow + 1);
    ASSERT_EQ(store.evict_expired(), 1u);

    EXPECT_EQ(store.stats(), (StoreStats{.varne_entries = 1,
                                         .data_entries = 0,
                                         .compute_entries = 1,
                                         .nonce_history_size = 3,
                                         .peer_count = 3,
                                         .total_ingested = 3,
                                         .total_evicted = 1}));
}

// ---- Peer accounting ----------------------------------------------------------------------------

TEST_F(StoreTest, RecordSentCreatesThePeerAndStampsTheExchange) {
    store.record_sent("peer-1", 3);
    EXPECT_EQ(peer("peer-1"), (PeerStats{.entries_sent = 3, .last_exchange_epoch = kNow}));

    set_now(kNow + 30);
    store.record_sent("peer-1", 0);
    EXPECT_EQ(peer("peer-1"), (PeerStats{.entries_sent = 3, .last_exchange_epoch = kNow + 30}));
    store.record_sent("peer-1", 2);
    EXPECT_EQ(peer("peer-1").entries_sent, 5u);
}

TEST_F(StoreTest, PeerWithOnlyRejectionsKeepsNoExchangeTime) {
    store.record_rejected("peer-1");
    EXPECT_EQ(store.ingest(make_entry({.expires_at = kNow}), "peer-1"), IngestOutcome::Expired);
    EXPECT_EQ(peer("peer-1"), (PeerStats{.entries_rejected = 2}));
    EXPECT_EQ(store.stats().peer_count, 1u);
}

TEST_F(StoreTest, PeerStatisticsAreACopy) {
    store.record_sent("peer-1", 1);
    PeerMap copy = store.peer_stats();
    store.record_sent("peer-1", 1);
    store.record_sent("peer-2", 1);
    ASSERT_THAT(copy, SizeIs(1));
    EXPECT_EQ(copy.at("peer-1").entries_sent, 1u);
    EXPECT_EQ(store.peer_stats().at("peer-1").entries_sent, 2u);
}

TEST_F(StoreTest, PeerRecordsStopGrowingAtTheBoundButKnownPeersCount) {
    for (std::size_t i = 0; i < kPeerCapacity; ++i) store.record_rejected("peer-" + std::to_string(i));
    ASSERT_EQ(store.stats().peer_count, kPeerCapacity);

    store.record_rejected("newcomer");
    store.record_sent("newcomer", 4);
    EXPECT_EQ(store.ingest(make_entry({.nonce = "from-newcomer"}), "newcomer"), IngestOutcome::Accepted);
    EXPECT_EQ(store.stats().peer_count, kPeerCapacity);
    EXPECT_FALSE(store.peer_stats().contains("newcomer"));

    store.record_sent("peer-0", 4);
    EXPECT_EQ(store.ingest(make_entry({.key = "other", .nonce = "from-peer-0"}), "peer-0"), IngestOutcome::Accepted);
    EXPECT_EQ(
        peer("peer-0"),
        (PeerStats{.entries_received = 1, .entries_sent = 4, .last_exchange_epoch = kNow, .entries_rejected = 1}));
}

// ---- Pending copies ------------------------------------------------------------------------------

TEST_F(StoreTest, TakePendingEmptiesTheQueueOldestFirst) {
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(
            store.ingest(make_entry({.key = "k" + std::to_string(i), .nonce = "n" + std::to_string(i)}), "peer-1"),
            IngestOutcome::Accepted);
    }
    EXPECT_THAT(keys_of(take_pending(store)), ElementsAre("k0", "k1", "k2"));
    EXPECT_THAT(take_pending(store), IsEmpty());
}

TEST_F(StoreTest, PendingQueueDropsTheOldestBeyondItsBoundAndWarns) {
    constexpr std::size_t kOver = 3;
    log::testing::Capture capture("warn");
    for (std::size_t i = 0; i < kPendingCapacity + kOver; ++i) {
        ASSERT_EQ(store.ingest(make_entry({.nonce = "n" + std::to_string(i), .version = i + 1}), "peer-1"),
                  IngestOutcome::Accepted);
    }
    // The first drop is reported as it happens; the two after it, within the same second,
    // by the eviction pass, which reports nothing more the second time.
    EXPECT_EQ(store.evict_expired(), 0u);
    EXPECT_EQ(store.evict_expired(), 0u);
    EXPECT_THAT(capture.events(),
                ElementsAre(" WARN quillfern_core::gossip: Pending forward copies dropped dropped=1 from=peer-1",
                            " WARN quillfern_core::gossip: Pending forward copies dropped dropped=2 from=peer-1"));

    auto pending = take_pending(store);
    ASSERT_EQ(pending.size(), kPendingCapacity);
    EXPECT_EQ(pending.front().nonce, "n3");
    EXPECT_EQ(pending.back().nonce, "n" + std::to_string(kPendingCapacity + kOver - 1));
}

// ---- Eviction ------------------------------------------------------------------------------------

TEST_F(StoreTest, EvictionWithNothingExpiredRemovesAndLogsNothing) {
    ASSERT_EQ(store.ingest(make_entry({}), std::nullopt), IngestOutcome::Accepted);
    log::testing::Capture capture("trace");
    EXPECT_EQ(store.evict_expired(), 0u);
    EXPECT_THAT(capture.events(), IsEmpty());
    EXPECT_EQ(store.stats().total_evicted, 0u);
    EXPECT_EQ(store.stats().data_entries, 1u);
}

TEST_F(StoreTest, EvictionRemovesExpiredEntriesAndLogsEachTopic) {
    for (int i = 0; i < 5; ++i) {
        const std::uint64_t expires = i < 2 ? kNow + 10 : kNow + 600;
        ASSERT_EQ(
            store.ingest(
                make_entry({.key = "d" + std::to_string(i), .nonce = "d" + std::to_string(i), .expires_at = expires}),
                "peer-1"),
            IngestOutcome::Accepted);
    }
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Varne, .key = "v", .nonce = "v", .expires_at = kNow + 11}),
                           std::nullopt),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "c", .nonce = "c"}), std::nullopt),
              IngestOutcome::Accepted);
    const std::size_t pending_before = take_pending(store).size();
    store.record_sent("peer-1", 1);
    const PeerMap peers_before = store.peer_stats();

    set_now(kNow + 10);
    {
        log::testing::Capture capture("trace");
        EXPECT_EQ(store.evict_expired(), 2u);
        EXPECT_THAT(capture.events(),
                    ElementsAre(" INFO quillfern_core::gossip: Evicted stale gossip entries topic=data evicted=2 "
                                "remaining=3"));
    }
    EXPECT_THAT(keys_of(store.query(Topic::Data, std::nullopt)), UnorderedElementsAreArray({"d2", "d3", "d4"}));

    set_now(kNow + 700);
    {
        log::testing::Capture capture("trace");
        EXPECT_EQ(store.evict_expired(), 5u);
        EXPECT_THAT(capture.events(),
                    ElementsAre(" INFO quillfern_core::gossip: Evicted stale gossip entries topic=varne evicted=1 "
                                "remaining=0",
                                " INFO quillfern_core::gossip: Evicted stale gossip entries topic=data evicted=3 "
                                "remaining=0",
                                " INFO quillfern_core::gossip: Evicted stale gossip entries topic=compute evicted=1 "
                                "remaining=0"));
    }

    // Only the entries and the total changed.
    EXPECT_EQ(store.stats(),
              (StoreStats{.nonce_history_size = 7, .peer_count = 1, .total_ingested = 7, .total_evicted = 7}));
    EXPECT_EQ(pending_before, 5u);
    EXPECT_THAT(take_pending(store), IsEmpty());
    EXPECT_EQ(store.peer_stats(), peers_before);
}

TEST_F(StoreTest, EvictedEntrysNonceStillMarksADuplicate) {
    ASSERT_EQ(store.ingest(make_entry({.nonce = "n1", .expires_at = kNow + 1}), std::nullopt), IngestOutcome::Accepted);
    set_now(kNow + 1);
    ASSERT_EQ(store.evict_expired(), 1u);
    EXPECT_EQ(store.ingest(make_entry({.nonce = "n1", .expires_at = kNow + 600}), std::nullopt),
              IngestOutcome::Duplicate);
}

}  // namespace
}  // namespace quillfern::gossip::testing
