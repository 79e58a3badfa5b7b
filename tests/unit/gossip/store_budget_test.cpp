// GossipStore: the byte budgets beside the count bounds (pending copies, each topic's
// entries) and the size limits on a peer's nonce, origin and sender id.
#include <numeric>
#include <string>

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

constexpr std::size_t kMiB = std::size_t{1} << 20;

std::size_t pending_bytes(const std::vector<GossipEntry>& copies) {
    return std::accumulate(copies.begin(), copies.end(), std::size_t{0},
                           [](std::size_t sum, const GossipEntry& e) { return sum + e.byte_size(); });
}

// ---- Pending copies ---------------------------------------------------------------------

// One key injected again and again within a second: every inject after the first is a
// Duplicate, yet each leaves its forward copy with its own payload.
TEST_F(StoreTest, PendingCopiesStayWithinTheirByteBudgetOldestDropped) {
    constexpr int kInjects = 24;  // 96 MiB of payloads: more than the 64 MiB budget
    log::testing::Capture capture("trace");
    for (int i = 0; i < kInjects; ++i) {
        const IngestOutcome outcome =
            store.inject(Topic::Data, "big", std::string(4 * kMiB, static_cast<char>('a' + i)));
        ASSERT_EQ(outcome, i == 0 ? IngestOutcome::Accepted : IngestOutcome::Duplicate);
    }
    const std::size_t logged_while_injecting = capture.events().size();
    store.evict_expired();
    const std::vector<GossipEntry> pending = take_pending(store);

    EXPECT_LE(pending_bytes(pending), kPendingBytes);
    ASSERT_THAT(pending, SizeIs(15));  // 15 copies of 4 MiB and their records fit in 64 MiB
    // The newest copies are the ones kept, in order.
    EXPECT_EQ(payload_of(pending.front().payload), std::string(4 * kMiB, static_cast<char>('a' + kInjects - 15)));
    EXPECT_EQ(payload_of(pending.back().payload), std::string(4 * kMiB, static_cast<char>('a' + kInjects - 1)));
    // The first drop (the 16th copy) is reported as it happens, the eight after it within
    // the same second by the eviction pass.
    EXPECT_THAT(
        capture.events(),
        ElementsAre("DEBUG quillfern_core::gossip: Gossip entry ingested topic=data key=big origin=gate-a ttl=8",
                    " WARN quillfern_core::gossip: Pending forward copies dropped dropped=1 from=gate-a",
                    " WARN quillfern_core::gossip: Pending forward copies dropped dropped=8 from=gate-a"));
    EXPECT_EQ(logged_while_injecting, 2u);
}

TEST(StoreBudgets, CopyLargerThanThePendingBudgetIsDroppedAloneAndCounted) {
    GossipStore store("gate-a", FakeClock::at(kNow), StoreLimits{.pending_bytes = 64 * 1024});
    log::testing::Capture capture("warn");
    ASSERT_EQ(store.inject(Topic::Data, "small", "s"), IngestOutcome::Accepted);
    ASSERT_EQ(store.inject(Topic::Data, "huge", std::string(128 * 1024, 'h')), IngestOutcome::Accepted);
    ASSERT_EQ(store.inject(Topic::Data, "small2", "t"), IngestOutcome::Accepted);
    store.evict_expired();  // the drop was reported when it happened: nothing is left
    const std::vector<GossipEntry> pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(2));
    EXPECT_EQ(text_of(pending[0].key), "small");
    EXPECT_EQ(text_of(pending[1].key), "small2");
    EXPECT_THAT(capture.events(),
                ElementsAre(" WARN quillfern_core::gossip: Pending forward copies dropped dropped=1 from=gate-a"));

    // Taking the queue gives its budget back.
    ASSERT_EQ(store.inject(Topic::Data, "again", std::string(60 * 1024, 'a')), IngestOutcome::Accepted);
    EXPECT_THAT(take_pending(store), SizeIs(1));
}

// A copy counts at the size the sweep's request gives it: control characters in its
// nonce and origin are written as six bytes each, so a copy of 2 KiB of such texts takes
// over 12 KiB of the budget.
struct WrittenSizeCase {
    const char* name;
    std::size_t budget_in_copies_minus_one_byte;  // the budget: this many copies' worth of bytes, less one
    std::size_t kept;
};

class PendingWrittenSize : public ::testing::TestWithParam<WrittenSizeCase> {};

TEST_P(PendingWrittenSize, BudgetCountsTheRequestsBytes) {
    auto copy_of = [](int i) {
        return make_entry({.key = "k" + std::to_string(i),
                           .nonce = std::string(kMaxPeerTextBytes - 1, '\x01') + std::to_string(i),
                           .origin = std::string(kMaxPeerTextBytes, '\x02')});
    };
    std::string written;
    append_entry_json(written, *copy_of(0).forward_copy());
    ASSERT_GT(written.size(), 12 * 1024u);
    const std::size_t budget = GetParam().budget_in_copies_minus_one_byte * written.size() - 1;
    GossipStore store("gate-a", FakeClock::at(kNow), StoreLimits{.pending_bytes = budget});
    for (int i = 0; i < 4; ++i) ASSERT_EQ(store.ingest(copy_of(i), "gate-b"), IngestOutcome::Accepted);

    const std::vector<PendingCopy> pending = store.take_pending_copies();
    ASSERT_THAT(pending, SizeIs(GetParam().kept));
    std::size_t total = 0;
    for (std::size_t i = 0; i < pending.size(); ++i) {
        std::string text;
        append_entry_json(text, pending[i]);
        EXPECT_EQ(pending[i].json_size(), text.size());
        EXPECT_EQ(text_of(pending[i].entry().key), "k" + std::to_string(4 - pending.size() + i));  // the newest
        total += text.size();
    }
    EXPECT_LE(total, budget);
}

INSTANTIATE_TEST_SUITE_P(Budgets, PendingWrittenSize,
                         ::testing::Values(WrittenSizeCase{"OneCopyFits", 2, 1}, WrittenSizeCase{"TwoFit", 3, 2},
                                           WrittenSizeCase{"AllFourFit", 5, 4}),
                         [](const auto& info) { return std::string(info.param.name); });

// Copies dropped at the bound are reported as they are dropped, at most once a second of
// the store's clock, each report with the count since the last one; the eviction pass
// reports what is left.
TEST_F(StoreTest, DroppedCopiesAreReportedAtMostOnceASecond) {
    // Every copy of one key injected within one second has the same size: two fit.
    std::string written;
    {
        GossipStore probe("gate-a", FakeClock::at(kNow));
        probe.inject(Topic::Data, "k", "v");
        append_entry_json(written, probe.take_pending_copies().at(0));
    }
    GossipStore small("gate-a", clock, StoreLimits{.pending_bytes = 2 * written.size()});
    log::testing::Capture capture("warn");
    auto inject = [&](int times) {
        for (int i = 0; i < times; ++i) small.inject(Topic::Data, "k", "v");
    };
    auto reported = [](std::uint64_t dropped) {
        return " WARN quillfern_core::gossip: Pending forward copies dropped dropped=" + std::to_string(dropped) +
               " from=gate-a";
    };

    inject(2);
    EXPECT_THAT(capture.events(), IsEmpty());
    inject(1);  // the first drop is reported at once
    EXPECT_THAT(capture.events(), ElementsAre(reported(1)));
    inject(2);  // the same second: counted, not yet reported
    EXPECT_THAT(capture.events(), ElementsAre(reported(1)));
    set_now(kNow + 1);
    inject(1);  // a new second: the count since the last report
    EXPECT_THAT(capture.events(), ElementsAre(reported(1), reported(3)));
    inject(1);
    small.evict_expired();  // what is left unreported
    small.evict_expired();
    EXPECT_THAT(capture.events(), ElementsAre(reported(1), reported(3), reported(1)));
    EXPECT_THAT(take_pending(small), SizeIs(2));
}

// ---- A flood costs its sender -----------------------------------------------------------------

// Room is taken from the sender holding the most bytes, and this gate's own copies keep a
// quarter of the budget from peers: a peer sending twice the budget between two sweeps
// loses its own oldest copies, and no one else's.
class PendingFlood : public StoreTest {
protected:
    static constexpr std::size_t kFloodPayload = 1024;
    static constexpr std::size_t kBudgetInFloodCopies = 256;

    // The written size of one flood copy, as the queue counts it.
    static std::size_t flood_copy_size() {
        std::string written;
        append_entry_json(written, *flood_entry(0).forward_copy());
        return written.size();
    }
    static GossipEntry flood_entry(std::size_t i) {
        // Keys and nonces of one width: every flood copy has the same size.
        return make_entry({.key = "flood-" + std::to_string(100000 + i),
                           .nonce = "flood-nonce-" + std::to_string(100000 + i),
                           .payload = std::string(kFloodPayload, 'f')});
    }
    // `copies` flood copies from `from`, in batches as a peer's spread requests bring them.
    void flood(GossipStore& target, std::size_t copies, const std::string& from) {
        std::vector<GossipEntry> batch;
        for (std::size_t i = 0; i < copies; ++i) {
            batch.push_back(flood_entry(next_flood++));
            if (batch.size() == 300 || i + 1 == copies) {
                for (IngestOutcome outcome : target.ingest_batch(batch, from)) {
                    ASSERT_EQ(outcome, IngestOutcome::Accepted);
                }
                batch.clear();
            }
        }
    }

    const std::size_t budget = kBudgetInFloodCopies * flood_copy_size();
    GossipStore flooded{"gate-a", clock, StoreLimits{.pending_bytes = budget}};
    std::size_t next_flood = 0;
};

TEST_F(PendingFlood, AFloodDropsOnlyItsSendersCopiesAndTheWarningNamesIt) {
    log::testing::Capture capture("warn");
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(flooded.ingest(make_entry({.key = "good-" + std::to_string(i), .nonce = "good-" + std::to_string(i)}),
                                 "gate-good"),
                  IngestOutcome::Accepted);
        if (i % 10 == 0) {
            ASSERT_EQ(flooded.inject(Topic::Data, "local-" + std::to_string(i / 10), "l"), IngestOutcome::Accepted);
        }
    }
    flood(flooded, 2 * kBudgetInFloodCopies, "gate-flood");  // what 128 MiB is to the server's budget
    flooded.evict_expired();

    std::vector<std::string> good, local;
    std::size_t flood_kept = 0, bytes = 0;
    for (const PendingCopy& copy : flooded.take_pending_copies()) {
        const std::string key(text_of(copy.entry().key));
        bytes += copy.json_size();
        if (key.starts_with("good-")) good.push_back(key);
        if (key.starts_with("local-")) local.push_back(key);
        if (key.starts_with("flood-")) ++flood_kept;
    }
    EXPECT_LE(bytes, budget);
    ASSERT_EQ(good.size(), 100u);
    for (int i = 0; i < 100; ++i) EXPECT_EQ(good[i], "good-" + std::to_string(i));
    ASSERT_EQ(local.size(), 10u);
    for (int i = 0; i < 10; ++i) EXPECT_EQ(local[i], "local-" + std::to_string(i));
    EXPECT_GT(flood_kept, 0u);
    // The first batch's drops are reported as they happen, the rest by the eviction pass;
    // both name the flood.
    const std::string prefix = " WARN quillfern_core::gossip: Pending forward copies dropped dropped=";
    const std::string suffix = " from=gate-flood";
    ASSERT_THAT(capture.events(), SizeIs(2));
    std::uint64_t reported = 0;
    for (const std::string& event : capture.events()) {
        ASSERT_TRUE(event.starts_with(prefix) && event.ends_with(suffix)) << event;
        reported += std::stoull(event.substr(prefix.size(), event.size() - prefix.size() - suffix.size()));
    }
    EXPECT_EQ(reported, 2 * kBudgetInFloodCopies - flood_kept);
}

// The flood's own newest copies are the ones it keeps, in the order it sent them.
TEST_F(PendingFlood, TheFloodKeepsItsNewestCopiesInOrder) {
    flood(flooded, 3 * kBudgetInFloodCopies, "gate-flood");
    const std::vector<PendingCopy> pending = flooded.take_pending_copies();
    ASSERT_THAT(pending, SizeIs(kBudgetInFloodCopies));
    for (std::size_t i = 0; i < pending.size(); ++i) {
        EXPECT_EQ(text_of(pending[i].entry().key), "flood-" + std::to_string(100000 + 2 * kBudgetInFloodCopies + i));
    }
}

// Many peers each holding less than this gate's own copies: the heaviest is this gate, yet
// within a quarter of the budget its copies are kept and the peers give up theirs. Past its
// reserve, the gate's own copies make room like anyone's.
struct ReserveCase {
    friend void PrintTo(const ReserveCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::size_t local_copies;  // of about the flood's size each
    bool all_kept;             // else as many as a quarter of the budget holds
};

class LocalReserve : public PendingFlood, public ::testing::WithParamInterface<ReserveCase> {};

TEST_P(LocalReserve, PeersTakeNoneOfTheGatesOwnCopiesWithinAQuarterOfTheBudget) {
    const ReserveCase& c = GetParam();
    for (std::size_t i = 0; i < c.local_copies; ++i) {
        ASSERT_EQ(flooded.inject(Topic::Data, "local-" + std::to_string(i), std::string(kFloodPayload - 2, 'l')),
                  IngestOutcome::Accepted);
    }
    for (std::size_t peer = 0; peer < 2 * kBudgetInFloodCopies; ++peer) {
        flood(flooded, 1, "gate-" + std::to_string(peer));
    }
    std::size_t local = 0, local_size = 0;
    for (const PendingCopy& copy : flooded.take_pending_copies()) {
        if (!text_of(copy.entry().key).starts_with("local-")) continue;
        ++local;
        local_size = copy.json_size();
    }
    ASSERT_GT(local_size, 0u);
    const std::size_t reserve_holds = budget / 4 / local_size;
    ASSERT_EQ(c.all_kept, c.local_copies <= reserve_holds);
    EXPECT_EQ(local, c.all_kept ? c.local_copies : reserve_holds);
}

INSTANTIATE_TEST_SUITE_P(Shares, LocalReserve,
                         ::testing::Values(ReserveCase{"WithinTheReserve", 60, true},
                                           ReserveCase{"PastTheReserve", 120, false}),
                         [](const auto& info) { return std::string(info.param.name); });

// Past a thousand senders between two sweeps the newer ones share one holding, named
// "others" in the report; once the queue is taken they are told apart again.
TEST_F(StoreTest, SendersPastTheTablesCapacityShareOneHolding) {
    auto entry_from = [](std::size_t i) {  // every one of the same size
        return make_entry({.key = "k", .nonce = "n" + std::to_string(100000 + i), .version = 100000 + i});
    };
    std::string written;
    append_entry_json(written, *entry_from(0).forward_copy());
    constexpr std::size_t kSenders = 1100, kRoom = 1030;
    GossipStore crowded("gate-a", clock, StoreLimits{.pending_bytes = kRoom * written.size()});
    log::testing::Capture capture("warn");
    for (std::size_t i = 0; i < kSenders; ++i) {
        ASSERT_EQ(crowded.ingest(entry_from(i), "gate-" + std::to_string(i)), IngestOutcome::Accepted);
    }
    crowded.evict_expired();
    std::vector<std::string> nonces;
    for (const PendingCopy& copy : crowded.take_pending_copies()) nonces.push_back(copy.entry().nonce);
    ASSERT_THAT(nonces, SizeIs(kRoom));
    // The first 1,024 senders keep theirs; the shared holding keeps its newest.
    EXPECT_EQ(nonces[1023], "n" + std::to_string(100000 + 1023));
    EXPECT_EQ(nonces[1024], "n" + std::to_string(100000 + kSenders - (kRoom - 1024)));
    EXPECT_THAT(capture.events(),
                ElementsAre(" WARN quillfern_core::gossip: Pending forward copies dropped dropped=1 from=others",
                            " WARN quillfern_core::gossip: Pending forward copies dropped dropped=" +
                                std::to_string(kSenders - kRoom - 1) + " from=others"));

    set_now(kNow + 1);
    for (std::size_t i = 0; i < kRoom + 1; ++i) {
        ASSERT_EQ(crowded.ingest(entry_from(kSenders + i), "gate-new"), IngestOutcome::Accepted);
    }
    EXPECT_EQ(capture.events().back(),
              " WARN quillfern_core::gossip: Pending forward copies dropped dropped=1 from=gate-new");
}

// ---- Copies no spread request can carry ------------------------------------------------------

// The store leaves room in a request for its head and tail as if every byte of the node id
// were written as six: a copy larger than what is left is never queued, and counted.
struct RequestBoundCase {
    friend void PrintTo(const RequestBoundCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::string node_id;
    int slack;  // the request bound: exactly the copy's size with that room, plus this
    bool queued;
};

class RequestBound : public ::testing::TestWithParam<RequestBoundCase> {};

TEST_P(RequestBound, ACopyPastTheRoomOfARequestIsNeverQueuedAndIsCounted) {
    const RequestBoundCase& c = GetParam();
    GossipEntry entry = make_entry({});
    std::string written;
    append_entry_json(written, *entry.forward_copy());
    const std::size_t bound = written.size() + kSpreadRequestFrameBytes + 6 * c.node_id.size() + c.slack;
    GossipStore store(c.node_id, FakeClock::at(kNow), StoreLimits{.request_bytes = bound});
    log::testing::Capture capture("warn");

    // Stored like any other entry; only its forward copy is left out.
    ASSERT_EQ(store.ingest(std::move(entry), "gate-b"), IngestOutcome::Accepted);
    EXPECT_EQ(store.stats().data_entries, 1u);
    EXPECT_THAT(store.take_pending_copies(), SizeIs(c.queued ? 1 : 0));
    EXPECT_EQ(store.take_oversized_copies(), c.queued ? 0u : 1u);
    EXPECT_EQ(store.take_oversized_copies(), 0u);  // taken once
    // The sweep reports them; the store's own drop report is not about them.
    store.evict_expired();
    EXPECT_THAT(capture.events(), IsEmpty());
}

INSTANTIATE_TEST_SUITE_P(Bounds, RequestBound,
                         ::testing::Values(RequestBoundCase{"FitsExactly", "gate-a", 0, true},
                                           RequestBoundCase{"OneByteOver", "gate-a", -1, false},
                                           RequestBoundCase{"ALongNodeIdFitsExactly", std::string(300, 'g'), 0, true},
                                           RequestBoundCase{"ALongNodeIdOneByteOver", std::string(300, 'g'), -1,
                                                            false}),
                         [](const auto& info) { return std::string(info.param.name); });

// A copy within the pending budget but too large for any request takes no room: the
// copies queued before it all stay.
TEST(StoreBudgets, ACopyTooLargeForAnyRequestEvictsNothing) {
    GossipStore store("gate-a", FakeClock::at(kNow),
                      StoreLimits{.pending_bytes = 64 * 1024, .request_bytes = 8 * 1024});
    log::testing::Capture capture("warn");
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(store.inject(Topic::Data, "small" + std::to_string(i), "s"), IngestOutcome::Accepted);
    }
    ASSERT_EQ(store.ingest(make_entry({.key = "huge", .payload = std::string(60 * 1024, 'h')}), "gate-b"),
              IngestOutcome::Accepted);
    ASSERT_EQ(store.inject(Topic::Data, "small3", "s"), IngestOutcome::Accepted);
    store.evict_expired();

    const std::vector<GossipEntry> pending = take_pending(store);
    ASSERT_THAT(pending, SizeIs(4));
    for (int i = 0; i < 4; ++i) EXPECT_EQ(text_of(pending[i].key), "small" + std::to_string(i));
    EXPECT_EQ(store.take_oversized_copies(), 1u);
    EXPECT_THAT(capture.events(), IsEmpty());
}

// ---- Topic bytes --------------------------------------------------------------------------

class TopicBudget : public StoreTest {
protected:
    static constexpr std::size_t kBudget = 64 * 1024;
    static constexpr std::size_t kPayload = 20 * 1024;  // canonical text: the quotes add 2 bytes

    IngestOutcome put(const std::string& key, std::size_t payload_size, std::uint64_t version,
                      std::uint64_t expires_at = kNow + 600) {
        return budgeted.ingest(make_entry({.key = key,
                                           .nonce = "n" + std::to_string(next_nonce++),
                                           .version = version,
                                           .expires_at = expires_at,
                                           .payload = std::string(payload_size, 'p')}),
                               "gate-b");
    }

    GossipStore budgeted{"gate-a", clock, StoreLimits{.topic_bytes = kBudget}};
    int next_nonce = 0;
};

TEST_F(TopicBudget, NewKeyOrNewerVersionThatWouldPassTheBudgetIsAtCapacity) {
    ASSERT_EQ(put("a", kPayload, 1), IngestOutcome::Accepted);
    ASSERT_EQ(put("b", kPayload, 1), IngestOutcome::Accepted);
    ASSERT_EQ(put("c", kPayload, 1), IngestOutcome::Accepted);
    // A fourth 20 KiB entry would pass 64 KiB.
    EXPECT_EQ(put("d", kPayload, 1), IngestOutcome::AtCapacity);
    // So would a newer version of "a" that grows it by 8 KiB...
    EXPECT_EQ(put("a", kPayload + 8 * 1024, 2), IngestOutcome::AtCapacity);
    // ...while one that keeps its size, or shrinks it, replaces it.
    EXPECT_EQ(put("a", kPayload, 2), IngestOutcome::Accepted);
    EXPECT_EQ(put("b", 10, 2), IngestOutcome::Accepted);
    // The room "b" gave back takes a new key; other topics have budgets of their own.
    EXPECT_EQ(put("d", kPayload - 100, 1), IngestOutcome::Accepted);
    EXPECT_EQ(
        budgeted.ingest(
            make_entry(
                {.topic = Topic::Compute, .key = "x", .nonce = "other-topic", .payload = std::string(kPayload, 'p')}),
            "gate-b"),
        IngestOutcome::Accepted);
    // AtCapacity counts no rejection; nothing else was refused.
    EXPECT_EQ(budgeted.peer_stats().at("gate-b").entries_rejected, 0u);
}

TEST_F(TopicBudget, EvictionGivesTheBytesOfExpiredEntriesBack) {
    ASSERT_EQ(put("a", kPayload, 1, kNow + 10), IngestOutcome::Accepted);
    ASSERT_EQ(put("b", kPayload, 1, kNow + 10), IngestOutcome::Accepted);
    ASSERT_EQ(put("c", kPayload, 1), IngestOutcome::Accepted);
    ASSERT_EQ(put("d", kPayload, 1), IngestOutcome::AtCapacity);
    set_now(kNow + 10);
    EXPECT_EQ(budgeted.evict_expired(), 2u);
    EXPECT_EQ(put("d", kPayload, 1), IngestOutcome::Accepted);
    EXPECT_EQ(put("e", kPayload, 1), IngestOutcome::Accepted);
    EXPECT_EQ(put("f", kPayload, 1), IngestOutcome::AtCapacity);
}

// ---- Sizes of a peer's texts ----------------------------------------------------------------

struct PeerTextCase {
    const char* name;
    std::size_t nonce_bytes;
    std::size_t origin_bytes;
    bool from_peer;
    IngestOutcome outcome;
};

class PeerTextSize : public StoreTest, public ::testing::WithParamInterface<PeerTextCase> {};

TEST_P(PeerTextSize, NonceOrOriginOverOneKiBFromAPeerIsRejected) {
    const PeerTextCase& c = GetParam();
    GossipEntry entry =
        make_entry({.nonce = std::string(c.nonce_bytes, 'n'), .origin = std::string(c.origin_bytes, 'o')});
    const auto from = c.from_peer ? std::optional<std::string_view>("gate-b") : std::nullopt;
    EXPECT_EQ(store.ingest(std::move(entry), from), c.outcome);
    const bool accepted = c.outcome == IngestOutcome::Accepted;
    EXPECT_EQ(store.stats().data_entries, accepted ? 1u : 0u);
    EXPECT_THAT(take_pending(store), SizeIs(accepted && c.from_peer ? 1 : 0));
    if (c.from_peer) {
        EXPECT_EQ(peer("gate-b").entries_rejected, accepted ? 0u : 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PeerTextSize,
                         ::testing::Values(PeerTextCase{"AtTheLimit", 1024, 1024, true, IngestOutcome::Accepted},
                                           PeerTextCase{"LongNonce", 1025, 6, true, IngestOutcome::Rejected},
                                           PeerTextCase{"LongOrigin", 7, 1025, true, IngestOutcome::Rejected},
                                           PeerTextCase{"HugeNonce", 16 * kMiB, 6, true, IngestOutcome::Rejected},
                                           // Entries created on this gate are not a peer's.
                                           PeerTextCase{"LocalLongOrigin", 7, 4096, false, IngestOutcome::Accepted}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(StoreTest, SenderIdOverTwoHundredFiftySixBytesIsNotRecorded) {
    const std::string longest(kMaxPeerIdBytes, 'p');
    const std::string too_long(kMaxPeerIdBytes + 1, 'p');
    EXPECT_EQ(store.ingest(make_entry({.nonce = "1"}), longest), IngestOutcome::Accepted);
    EXPECT_EQ(store.ingest(make_entry({.key = "other", .nonce = "2"}), too_long), IngestOutcome::Accepted);
    EXPECT_EQ(store.ingest(make_entry({.nonce = "3", .version = 1}), too_long), IngestOutcome::Duplicate);
    store.record_sent(too_long, 5);
    store.record_sent(std::string(16 * kMiB, 'q'), 1);

    const PeerMap peers = store.peer_stats();
    ASSERT_THAT(peers, SizeIs(1));
    EXPECT_EQ(peers.at(longest).entries_received, 1u);
    // The entry itself is taken in like any other: its copy is queued for forwarding.
    EXPECT_THAT(take_pending(store), SizeIs(2));
}

}  // namespace
}  // namespace quillfern::gossip::testing
