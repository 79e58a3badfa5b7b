// GossipStore: lifecycle, the rules of ingest and inject.
#include <algorithm>
#include <chrono>
#include <string>

#include <unistd.h>

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

constexpr std::string_view kPeer = "gate-b";

// ---- Lifecycle ------------------------------------------------------------------------

TEST_F(StoreTest, StartsOnceThenRefusesWithLifecycleError) {
    EXPECT_EQ(store.state(), StoreState::Built);
    EXPECT_FALSE(store.running());
    EXPECT_EQ(store.node_id(), "gate-a");

    ASSERT_TRUE(store.start().has_value());
    EXPECT_EQ(store.state(), StoreState::Running);
    EXPECT_TRUE(store.running());

    auto second = store.start();
    ASSERT_FALSE(second.has_value());
    EXPECT_EQ(second.error().kind(), core::CoreError::Kind::Lifecycle);
    EXPECT_EQ(second.error().to_string(), "lifecycle error: cannot start from current state");
    EXPECT_EQ(store.state(), StoreState::Running);
}

TEST_F(StoreTest, NothingSubscribesToUpdates) {
    EXPECT_EQ(store.subscriber_count(), 0u);
    store.ingest(make_entry({}), std::nullopt);
    EXPECT_EQ(store.subscriber_count(), 0u);
}

TEST_F(StoreTest, FreshStoreStatisticsAreZero) {
    EXPECT_EQ(store.stats(), StoreStats{});
    EXPECT_THAT(store.peer_stats(), IsEmpty());
    EXPECT_THAT(take_pending(store), IsEmpty());
}

// ---- Expiry and hops ------------------------------------------------------------------------

struct ExpiryCase {
    std::uint64_t expires_at;
    IngestOutcome outcome;
};

class ExpiryTest : public StoreTest, public ::testing::WithParamInterface<ExpiryCase> {};

TEST_P(ExpiryTest, ExpiredOnceNowReachesExpiry) {
    const auto& param = GetParam();
    EXPECT_EQ(store.ingest(make_entry({.expires_at = param.expires_at}), kPeer), param.outcome);
    const bool accepted = param.outcome == IngestOutcome::Accepted;
    EXPECT_EQ(peer(std::string(kPeer)).entries_rejected, accepted ? 0u : 1u);
    EXPECT_EQ(store.stats().data_entries, accepted ? 1u : 0u);
    EXPECT_EQ(store.stats().nonce_history_size, accepted ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Boundary, ExpiryTest,
                         ::testing::Values(ExpiryCase{0, IngestOutcome::Expired},
                                           ExpiryCase{kNow - 1, IngestOutcome::Expired},
                                           ExpiryCase{kNow, IngestOutcome::Expired},
                                           ExpiryCase{kNow + 1, IngestOutcome::Accepted}));

TEST_F(StoreTest, ExpiredLocalEntryTouchesNoPeer) {
    EXPECT_EQ(store.ingest(make_entry({.expires_at = kNow}), std::nullopt), IngestOutcome::Expired);
    EXPECT_EQ(store.stats(), StoreStats{});
}

TEST_F(StoreTest, EntryWithoutHopsIsExpiredFromPeerButStoredLocally) {
    EXPECT_EQ(store.ingest(make_entry({.nonce = "n-peer", .ttl = 0}), kPeer), IngestOutcome::Expired);
    EXPECT_EQ(peer(std::string(kPeer)), (PeerStats{.entries_rejected = 1}));

    EXPECT_EQ(store.ingest(make_entry({.nonce = "n-local", .ttl = 0}), std::nullopt), IngestOutcome::Accepted);
    auto held = store.query(Topic::Data, std::nullopt);
    ASSERT_THAT(held, SizeIs(1));
    EXPECT_EQ(held[0].ttl, 0);
    EXPECT_EQ(held[0].nonce, "n-local");
    EXPECT_THAT(take_pending(store), IsEmpty());
}

// ---- Keys -----------------------------------------------------------------------------------

struct KeyCase {
    std::string name;
    std::string key;
    IngestOutcome outcome;
};

std::string repeat(std::string_view piece, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += piece;
    return out;
}

class KeyTest : public StoreTest, public ::testing::WithParamInterface<KeyCase> {};

TEST_P(KeyTest, KeyRules) {
    const auto& param = GetParam();
    EXPECT_EQ(store.ingest(make_entry({.key = param.key, .nonce = "n-1"}), kPeer), param.outcome);
    if (param.outcome == IngestOutcome::Accepted) {
        ASSERT_THAT(store.query(Topic::Data, std::nullopt), SizeIs(1));
        EXPECT_EQ(peer(std::string(kPeer)).entries_received, 1u);
    } else {
        EXPECT_EQ(store.stats(), (StoreStats{.peer_count = 1}));
        EXPECT_EQ(peer(std::string(kPeer)), (PeerStats{.entries_rejected = 1}));
        // The refused entry's nonce was not recorded.
        EXPECT_EQ(store.ingest(make_entry({.key = "fine", .nonce = "n-1"}), kPeer), IngestOutcome::Accepted);
    }
}

INSTANTIATE_TEST_SUITE_P(Keys, KeyTest,
                         ::testing::Values(KeyCase{"OneByte", "k", IngestOutcome::Accepted},
                                           KeyCase{"Bytes256", std::string(256, 'a'), IngestOutcome::Accepted},
                                           KeyCase{"TwoByteChars128", repeat("\xC3\xA9", 128), IngestOutcome::Accepted},
                                           KeyCase{"NoBreakSpace",
                                                   "a\xC2\xA0"
                                                   "b",
                                                   IngestOutcome::Accepted},
                                           KeyCase{"PrintableNonAscii", "\xE6\x97\xA5\xE6\x9C\xAC.\xF0\x9F\x8C\xBF",
                                                   IngestOutcome::Accepted},
                                           KeyCase{"SpaceAndPunctuation", "endpoint.alive: gate-7/~",
                                                   IngestOutcome::Accepted},
                                           KeyCase{"Empty", "", IngestOutcome::Rejected},
                                           KeyCase{"Bytes257", std::string(257, 'a'), IngestOutcome::Rejected},
                                           KeyCase{"TwoByteChars129", repeat("\xC3\xA9", 129), IngestOutcome::Rejected},
                                           KeyCase{"Tab", "a\tb", IngestOutcome::Rejected},
                                           KeyCase{"Nul", std::string("a\0b", 3), IngestOutcome::Rejected},
                                           KeyCase{"UnitSeparator", "a\x1F", IngestOutcome::Rejected},
                                           KeyCase{"Del", "a\x7F", IngestOutcome::Rejected},
                                           KeyCase{"NextLine", "a\xC2\x85", IngestOutcome::Rejected},
                                           KeyCase{"FirstC1", "\xC2\x80", IngestOutcome::Rejected},
                                           KeyCase{"LastC1", "\xC2\x9F", IngestOutcome::Rejected},
                                           KeyCase{"InvalidUtf8", "a\xFF", IngestOutcome::Rejected}),
                         [](const auto& info) { return info.param.name; });

// ---- Nonces ---------------------------------------------------------------------------------

TEST_F(StoreTest, RecordedNonceIsDuplicateUnderAnyKeyAndTopic) {
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Data, .key = "a", .nonce = "n-1"}), kPeer),
              IngestOutcome::Accepted);
    EXPECT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "b", .nonce = "n-1"}), kPeer),
              IngestOutcome::Duplicate);
    EXPECT_EQ(store.ingest(make_entry({.topic = Topic::Varne, .key = "c", .nonce = "n-1"}), std::nullopt),
              IngestOutcome::Duplicate);
    EXPECT_EQ(peer(std::string(kPeer)),
              (PeerStats{.entries_received = 1, .last_exchange_epoch = kNow, .entries_rejected = 1}));
    EXPECT_EQ(store.stats(),
              (StoreStats{.data_entries = 1, .nonce_history_size = 1, .peer_count = 1, .total_ingested = 1}));
}

TEST_F(StoreTest, DuplicateNonceWinsOverBadKey) {
    ASSERT_EQ(store.ingest(make_entry({.nonce = "n-1"}), std::nullopt), IngestOutcome::Accepted);
    EXPECT_EQ(store.ingest(make_entry({.key = "", .nonce = "n-1"}), std::nullopt), IngestOutcome::Duplicate);
}

TEST_F(StoreTest, NonceHistoryForgetsTheOldestBeyond4096) {
    // One key with rising versions, so that every entry is accepted.
    for (std::uint64_t i = 0; i <= kNonceHistoryCapacity; ++i) {
        ASSERT_EQ(store.ingest(make_entry({.nonce = "n-" + std::to_string(i), .version = i + 1}), std::nullopt),
                  IngestOutcome::Accepted);
    }
    EXPECT_EQ(store.stats().nonce_history_size, 4096u);
    EXPECT_EQ(store.stats().total_ingested, 4097u);
    EXPECT_EQ(store.ingest(make_entry({.key = "other", .nonce = "n-1"}), std::nullopt), IngestOutcome::Duplicate);
    EXPECT_EQ(store.ingest(make_entry({.key = "other", .nonce = "n-0"}), std::nullopt), IngestOutcome::Accepted);
    // Recording n-0 again pushed n-1 out.
    EXPECT_EQ(store.stats().nonce_history_size, 4096u);
    EXPECT_EQ(store.ingest(make_entry({.key = "third", .nonce = "n-1"}), std::nullopt), IngestOutcome::Accepted);
}

// ---- Capacity and versions -------------------------------------------------------------------

TEST_F(StoreTest, FullTopicRefusesNewKeysWithoutCountingRejection) {
    for (std::size_t i = 0; i < kTopicCapacity; ++i) {
        ASSERT_EQ(store.ingest(make_entry({.key = "k" + std::to_string(i), .nonce = "n" + std::to_string(i)}), kPeer),
                  IngestOutcome::Accepted);
    }
    EXPECT_EQ(store.ingest(make_entry({.key = "new", .nonce = "n-new"}), kPeer), IngestOutcome::AtCapacity);
    EXPECT_EQ(peer(std::string(kPeer)).entries_rejected, 0u);
    EXPECT_EQ(take_pending(store).size(), kTopicCapacity);

    // Its nonce was not recorded: an existing key with a greater version carries it in.
    EXPECT_EQ(store.ingest(make_entry({.key = "k7", .nonce = "n-new", .version = kNow + 1}), kPeer),
              IngestOutcome::Accepted);
    EXPECT_EQ(store.stats().data_entries, kTopicCapacity);
    auto held = store.query(Topic::Data, std::nullopt);
    auto replaced = std::find_if(held.begin(), held.end(), [](const auto& e) { return text_of(e.key) == "k7"; });
    ASSERT_NE(replaced, held.end());
    EXPECT_EQ(replaced->nonce, "n-new");

    // The limit is per topic.
    EXPECT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "new", .nonce = "n-c"}), kPeer),
              IngestOutcome::Accepted);
    EXPECT_EQ(peer(std::string(kPeer)).entries_received, kTopicCapacity + 2);
}

struct VersionCase {
    std::uint64_t version;
    IngestOutcome outcome;
};

class VersionTest : public StoreTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTest, OnlyAGreaterVersionReplaces) {
    ASSERT_EQ(store.ingest(make_entry({.nonce = "old", .ttl = 5, .version = 10, .payload = "old"}), std::nullopt),
              IngestOutcome::Accepted);
    const auto& param = GetParam();
    GossipEntry incoming =
        make_entry({.nonce = "new", .ttl = 3, .version = param.version, .expires_at = kNow + 9, .payload = "new"});
    EXPECT_EQ(store.ingest(incoming.clone(), kPeer), param.outcome);

    auto held = store.query(Topic::Data, std::nullopt);
    ASSERT_THAT(held, SizeIs(1));
    EXPECT_EQ(store.stats().data_entries, 1u);
    if (param.outcome == IngestOutcome::Accepted) {
        EXPECT_EQ(held[0], incoming);  // replaced whole: nonce, payload, hops and times
        EXPECT_EQ(peer(std::string(kPeer)).entries_received, 1u);
    } else {
        EXPECT_EQ(held[0].nonce, "old");
        EXPECT_EQ(payload_of(held[0].payload), "old");
        EXPECT_EQ(peer(std::string(kPeer)), (PeerStats{.entries_rejected = 1}));
        EXPECT_EQ(store.stats().nonce_history_size, 1u);
        EXPECT_THAT(take_pending(store), IsEmpty());
    }
}

INSTANTIATE_TEST_SUITE_P(Order, VersionTest,
                         ::testing::Values(VersionCase{0, IngestOutcome::Duplicate},
                                           VersionCase{9, IngestOutcome::Duplicate},
                                           VersionCase{10, IngestOutcome::Duplicate},
                                           VersionCase{11, IngestOutcome::Accepted}));

// ---- Accepted entries: forward copies, peer records, log ---------------------------------------

TEST_F(StoreTest, AcceptedPeerEntryLeavesForwardCopyAndCountsReceipt) {
    GossipEntry sent = make_entry({});
    ASSERT_EQ(store.ingest(sent.clone(), kPeer), IngestOutcome::Accepted);

    auto pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(1));
    GossipEntry expected = sent.clone();
    expected.ttl = 7;
    EXPECT_EQ(pending[0], expected);
    // The copy shares the stored entry's texts rather than copying them.
    const auto held = store.query(Topic::Data, std::nullopt);
    ASSERT_THAT(held, SizeIs(1));
    EXPECT_EQ(pending[0].payload.get(), held[0].payload.get());
    EXPECT_EQ(pending[0].key.get(), held[0].key.get());
    EXPECT_EQ(peer(std::string(kPeer)), (PeerStats{.entries_received = 1, .last_exchange_epoch = kNow}));
    EXPECT_EQ(store.stats().total_ingested, 1u);
}

TEST_F(StoreTest, LastHopStillLeavesACopyWithNoHops) {
    ASSERT_EQ(store.ingest(make_entry({.ttl = 1}), kPeer), IngestOutcome::Accepted);
    auto pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(1));
    EXPECT_EQ(pending[0].ttl, 0);
}

TEST_F(StoreTest, AcceptedLocalEntryLeavesNoCopyAndNoPeer) {
    ASSERT_EQ(store.ingest(make_entry({}), std::nullopt), IngestOutcome::Accepted);
    EXPECT_THAT(take_pending(store), IsEmpty());
    EXPECT_EQ(store.stats(), (StoreStats{.data_entries = 1, .nonce_history_size = 1, .total_ingested = 1}));
}

TEST_F(StoreTest, AcceptedEntryIsLoggedAtDebugAndRefusedOneIsNot) {
    log::testing::Capture capture("trace");
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "job.42", .ttl = 6}), kPeer),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.ingest(make_entry({.topic = Topic::Compute, .key = "job.43"}), kPeer), IngestOutcome::Duplicate);
    EXPECT_THAT(capture.events(),
                ElementsAre("DEBUG quillfern_core::gossip: Gossip entry ingested topic=compute key=job.42 "
                            "origin=gate-b ttl=6"));
}

// An entry whose texts already are one block (as the readers make them) is stored as
// it is; one built field by field is stored as an equal copy.
TEST_F(StoreTest, StoredEntryKeepsSharedTexts) {
    GossipEntry sent = make_entry({});
    GossipEntry packed = GossipEntry::of_block(sent.block(), sent.ttl);
    ASSERT_EQ(packed, sent);
    ASSERT_EQ(store.ingest(packed.clone(), std::nullopt), IngestOutcome::Accepted);
    auto held = store.query(Topic::Data, std::nullopt);
    ASSERT_THAT(held, SizeIs(1));
    EXPECT_EQ(held[0].key, packed.key);
    EXPECT_EQ(held[0].origin_gate, packed.origin_gate);
    EXPECT_EQ(held[0].payload, packed.payload);

    GossipEntry other = make_entry({.key = "user.bob", .nonce = "n-2"});
    ASSERT_EQ(store.ingest(other.clone(), std::nullopt), IngestOutcome::Accepted);
    held = store.query(Topic::Data, "user.bob");
    ASSERT_THAT(held, SizeIs(1));
    EXPECT_EQ(held[0], other);
    EXPECT_EQ(held[0].origin_gate, other.origin_gate);  // the origin is shared either way
}

// ---- Inject ---------------------------------------------------------------------------------

std::uint64_t hex_value(std::string_view digits) {
    std::uint64_t value = 0;
    for (char c : digits) value = value * 16 + static_cast<std::uint64_t>(c <= '9' ? c - '0' : c - 'a' + 10);
    return value;
}

TEST_F(StoreTest, InjectCreatesLocalEntryAndQueuesItsCopy) {
    const json::Value payload = {{"cpu", 0.5}};
    ASSERT_EQ(store.inject(Topic::Varne, "endpoint.alive:gate-a", payload), IngestOutcome::Accepted);

    auto held = store.query(Topic::Varne, std::nullopt);
    ASSERT_THAT(held, SizeIs(1));
    const GossipEntry& entry = held[0];
    EXPECT_EQ(entry.topic, Topic::Varne);
    EXPECT_EQ(text_of(entry.key), "endpoint.alive:gate-a");
    EXPECT_EQ(payload_of(entry.payload), payload);
    EXPECT_EQ(text_of(entry.origin_gate), "gate-a");
    EXPECT_EQ(entry.ttl, 8);
    EXPECT_EQ(entry.version, kNow);
    EXPECT_EQ(entry.created_at_epoch, kNow);
    EXPECT_EQ(entry.expires_at_epoch, kNow + 600);

    auto pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(1));
    GossipEntry expected = entry.clone();
    expected.ttl = 7;
    EXPECT_EQ(pending[0], expected);
    EXPECT_THAT(store.peer_stats(), IsEmpty());
}

TEST_F(StoreTest, InjectNonceIsClockPidAndCounterInHex) {
    using std::chrono::duration_cast;
    using std::chrono::nanoseconds;
    auto wall_ns = [] {
        return static_cast<std::uint64_t>(
            duration_cast<nanoseconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    };
    const std::uint64_t before = wall_ns();
    ASSERT_EQ(store.inject(Topic::Data, "a", nullptr), IngestOutcome::Accepted);
    ASSERT_EQ(store.inject(Topic::Data, "b", nullptr), IngestOutcome::Accepted);
    const std::uint64_t after = wall_ns();

    auto pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(2));
    const std::string& first = pending[0].nonce;
    const std::string& second = pending[1].nonce;
    for (const std::string& nonce : {first, second}) {
        ASSERT_EQ(nonce.size(), 48u) << nonce;
        EXPECT_TRUE(std::all_of(nonce.begin(), nonce.end(), [](char c) {
            return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        })) << nonce;
        EXPECT_EQ(nonce.substr(0, 16), "0000000000000000");  // the upper half of 128 bits
        const std::uint64_t stamp = hex_value(nonce.substr(16, 16));
        EXPECT_GE(stamp, before);
        EXPECT_LE(stamp, after);
        EXPECT_EQ(hex_value(nonce.substr(32, 8)), static_cast<std::uint64_t>(::getpid()));
    }
    EXPECT_EQ(hex_value(second.substr(40, 8)), hex_value(first.substr(40, 8)) + 1);
    EXPECT_LE(first.substr(0, 32), second.substr(0, 32));
}

TEST_F(StoreTest, SameKeyInjectedTwiceInOneSecondIsDuplicateWithTwoCopies) {
    EXPECT_EQ(store.inject(Topic::Data, "k", 1), IngestOutcome::Accepted);
    EXPECT_EQ(store.inject(Topic::Data, "k", 2), IngestOutcome::Duplicate);
    EXPECT_THAT(take_pending(store), SizeIs(2));
    auto held = store.query(Topic::Data, std::nullopt);
    ASSERT_THAT(held, SizeIs(1));
    EXPECT_EQ(payload_of(held[0].payload), 1);

    set_now(kNow + 1);
    EXPECT_EQ(store.inject(Topic::Data, "k", 3), IngestOutcome::Accepted);
    EXPECT_EQ(payload_of(store.query(Topic::Data, std::nullopt).at(0).payload), 3);
}

TEST_F(StoreTest, RefusedInjectStillQueuesItsCopy) {
    EXPECT_EQ(store.inject(Topic::Data, "bad\nkey", nullptr), IngestOutcome::Rejected);
    EXPECT_EQ(store.stats(), StoreStats{});
    auto pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(1));
    EXPECT_EQ(text_of(pending[0].key), "bad\nkey");
    EXPECT_EQ(pending[0].ttl, 7);
}

TEST(StoreClock, SystemNowIsTheWallClockInSeconds) {
    const auto before = static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count());
    const std::uint64_t now = system_now();
    EXPECT_GE(now, before);
    EXPECT_LE(now, before + 1);
}

}  // namespace
}  // namespace quillfern::gossip::testing
