// GossipStore::ingest_batch: a peer's batch taken in slice by slice gives what ingesting
// its entries one by one gives, outcome for outcome, also where entries of one slice
// depend on each other (a nonce recorded or forgotten, a key replaced) and across slices.
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

using ::testing::ElementsAreArray;
using ::testing::UnorderedElementsAreArray;

constexpr std::string_view kPeer = "gate-b";

// The same entry with its texts in one block, as the readers make them.
GossipEntry packed(GossipEntry entry) {
    const std::uint8_t ttl = entry.ttl;
    return GossipEntry::of_block(entry.block(), ttl);
}

// Both stores start alike: a full compute topic, and a history full of "old-*" nonces
// (one key, rising versions, so that each is accepted), old-0 the oldest.
void fill(GossipStore& store) {
    for (std::size_t i = 0; i < kTopicCapacity; ++i) {
        ASSERT_EQ(
            store.ingest(
                make_entry({.topic = Topic::Compute, .key = "c" + std::to_string(i), .nonce = "c" + std::to_string(i)}),
                std::nullopt),
            IngestOutcome::Accepted);
    }
    for (std::uint64_t i = 0; i < kNonceHistoryCapacity; ++i) {
        ASSERT_EQ(
            store.ingest(
                make_entry(
                    {.topic = Topic::Varne, .key = "history", .nonce = "old-" + std::to_string(i), .version = i + 1}),
                std::nullopt),
            IngestOutcome::Accepted);
    }
}

// Every outcome, and entries whose outcome depends on one before them in the batch.
std::vector<GossipEntry> mixed_batch() {
    std::vector<EntrySpec> specs = {
        {.key = "a", .nonce = "n1"},                                                     // Accepted; forgets old-0
        {.key = "", .nonce = "n1"},                                                      // Duplicate: nonce before key
        {.key = "", .nonce = "n2"},                                                      // Rejected, n2 not recorded
        {.key = "b", .nonce = "n2"},                                                     // Accepted; forgets old-1
        {.key = "a", .nonce = "n3", .version = kNow - 1},                                // Duplicate: older version
        {.key = "a", .nonce = "n3", .version = kNow + 1},                                // Accepted; forgets old-2
        {.key = "e", .nonce = "n4", .expires_at = kNow},                                 // Expired
        {.key = "e", .nonce = "n4", .ttl = 0},                                           // Expired: no hop left
        {.key = "e", .nonce = std::string(kMaxPeerTextBytes + 1, 'n')},                  // Rejected: oversized nonce
        {.key = "e", .nonce = "n5", .origin = std::string(kMaxPeerTextBytes + 1, 'o')},  // Rejected
        {.key = "old-0", .nonce = "old-0"},                                              // Accepted: forgotten
        {.key = "old-2", .nonce = "old-2"},                                              // Accepted: forgotten
        {.key = "old-9", .nonce = "old-9"},                                              // Duplicate: still held
        {.topic = Topic::Compute, .key = "c-new", .nonce = "n6"},                        // AtCapacity: a new key
        {.topic = Topic::Compute, .key = "c7", .nonce = "n6", .version = kNow + 1},      // Accepted
        {.topic = Topic::Compute, .key = "c8", .nonce = "n6", .version = kNow + 1},      // Duplicate
    };
    // Enough fresh entries to fill more than one slice; two of them, one on each side of a
    // slice's end, share a nonce.
    while (specs.size() < 600) {
        const std::string n = std::to_string(specs.size());
        specs.push_back({.key = "bulk-" + n, .nonce = "bulk-" + n, .ttl = static_cast<std::uint8_t>(1 + n.size())});
    }
    specs[256].nonce = specs[255].nonce;
    std::vector<GossipEntry> entries;
    for (std::size_t i = 0; i < specs.size(); ++i) {
        GossipEntry entry = make_entry(std::move(specs[i]));
        entries.push_back(i % 2 == 0 ? packed(std::move(entry)) : std::move(entry));
    }
    return entries;
}

std::vector<std::string> keys_of(const std::vector<GossipEntry>& entries) {
    std::vector<std::string> keys;
    for (const GossipEntry& entry : entries) keys.push_back(text_of(entry.key) + "/" + entry.nonce);
    return keys;
}

TEST(StoreBatch, GivesWhatIngestingEachEntryGivesInOrder) {
    const auto clock = FakeClock::at(kNow);
    GossipStore one_by_one("gate-a", clock);
    GossipStore batched("gate-a", clock);
    fill(one_by_one);
    fill(batched);
    std::vector<GossipEntry> entries = mixed_batch();

    std::vector<IngestOutcome> expected;
    std::vector<std::string> expected_log;
    {
        log::testing::Capture capture("debug");
        for (const GossipEntry& entry : entries) expected.push_back(one_by_one.ingest(entry.clone(), kPeer));
        expected_log = capture.events();
    }
    std::vector<IngestOutcome> outcomes;
    {
        log::testing::Capture capture("debug");
        outcomes = batched.ingest_batch(entries, kPeer);
        EXPECT_THAT(capture.events(), ElementsAreArray(expected_log));
    }

    ASSERT_THAT(outcomes, ElementsAreArray(expected));
    using O = IngestOutcome;
    EXPECT_THAT(std::vector(outcomes.begin(), outcomes.begin() + 16),
                ElementsAreArray({O::Accepted, O::Duplicate, O::Rejected, O::Accepted, O::Duplicate, O::Accepted,
                                  O::Expired, O::Expired, O::Rejected, O::Rejected, O::Accepted, O::Accepted,
                                  O::Duplicate, O::AtCapacity, O::Accepted, O::Duplicate}));
    EXPECT_EQ(outcomes[255], O::Accepted);
    EXPECT_EQ(outcomes[256], O::Duplicate);

    EXPECT_EQ(batched.stats(), one_by_one.stats());
    EXPECT_EQ(batched.peer_stats(), one_by_one.peer_stats());
    EXPECT_EQ(batched.peer_stats().at(std::string(kPeer)).last_exchange_epoch, kNow);
    for (Topic topic : kTopics) {
        EXPECT_THAT(keys_of(batched.query(topic, std::nullopt)),
                    UnorderedElementsAreArray(keys_of(one_by_one.query(topic, std::nullopt))));
    }
    const std::vector<GossipEntry> pending = take_pending(batched);
    EXPECT_EQ(pending, take_pending(one_by_one));
    EXPECT_EQ(pending.size(), static_cast<std::size_t>(std::count(outcomes.begin(), outcomes.end(), O::Accepted)));
}

TEST(StoreBatch, AnEmptyBatchTouchesNothing) {
    GossipStore store("gate-a", FakeClock::at(kNow));
    EXPECT_TRUE(store.ingest_batch({}, kPeer).empty());
    EXPECT_EQ(store.stats(), StoreStats{});
}

TEST(StoreBatch, RefusalsAloneCountTheSenderWithoutAnExchange) {
    GossipStore store("gate-a", FakeClock::at(kNow));
    std::vector<GossipEntry> entries;
    entries.push_back(make_entry({.expires_at = kNow}));
    entries.push_back(make_entry({.key = ""}));
    EXPECT_THAT(store.ingest_batch(entries, kPeer),
                ElementsAreArray({IngestOutcome::Expired, IngestOutcome::Rejected}));
    EXPECT_EQ(store.peer_stats().at(std::string(kPeer)), (PeerStats{.entries_rejected = 2}));
    EXPECT_TRUE(take_pending(store).empty());
}

}  // namespace
}  // namespace quillfern::gossip::testing
