// Entries taken in as views: every outcome, its order and what the store holds after it
// are those of the same entries taken in whole, and an early answer that went stale
// before the nonce lock takes the slow path.
#include <algorithm>
#include <list>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "take_pending.hpp"

#include "store_fixture.hpp"

namespace quillfern::gossip {
namespace {

using testing::EntrySpec;
using testing::FakeClock;
using testing::kNow;
using testing::make_entry;

// Views of specs; the texts they point into live as long as this.
class Views {
public:
    explicit Views(const std::vector<EntrySpec>& specs) {
        for (const EntrySpec& spec : specs) {
            const Texts& texts =
                texts_.emplace_back(Texts{spec.key, json::to_string(spec.payload), spec.origin, spec.nonce});
            views_.push_back(EntryView{.topic = spec.topic,
                                       .key = texts.key,
                                       .payload = texts.payload,
                                       .origin_gate = texts.origin,
                                       .nonce = texts.nonce,
                                       .ttl = spec.ttl,
                                       .version = spec.version,
                                       .created_at_epoch = kNow - 5,
                                       .expires_at_epoch = spec.expires_at});
        }
    }
    std::span<const EntryView> views() const noexcept { return views_; }

private:
    struct Texts {
        std::string key, payload, origin, nonce;
    };
    std::list<Texts> texts_;  // stable addresses
    std::vector<EntryView> views_;
};

std::vector<GossipEntry> entries_of(const std::vector<EntrySpec>& specs) {
    std::vector<GossipEntry> entries;
    for (const EntrySpec& spec : specs) entries.push_back(make_entry(spec));
    return entries;
}

// Entries of every topic, stats, peers and pending copies, in a fixed order.
std::string contents(GossipStore& store) {
    std::vector<std::string> entries;
    for (Topic topic : kTopics) {
        for (const GossipEntry& e : store.query(topic, std::nullopt)) entries.push_back(json::to_string(e.to_json()));
    }
    std::sort(entries.begin(), entries.end());
    std::string text;
    for (const std::string& e : entries) text += e + "\n";
    text += json::to_string(store.stats().to_json()) + "\n";
    text += json::to_string(peers_to_json(store.peer_stats())) + "\n";
    std::string pending;
    append_entries_json(pending, ::quillfern::testing::take_pending(store));
    return text + pending;
}

std::vector<std::string> names(const std::vector<IngestOutcome>& outcomes) {
    std::vector<std::string> text;
    for (IngestOutcome outcome : outcomes) text.emplace_back(outcome_name(outcome));
    return text;
}

struct BatchCase {
    std::string name;
    std::vector<EntrySpec> held;   // taken in first, whole
    std::vector<EntrySpec> batch;  // then taken in both ways
    std::vector<std::string> outcomes;
};

void PrintTo(const BatchCase& c, std::ostream* os) { *os << c.name; }

class ViewsAgree : public ::testing::TestWithParam<BatchCase> {};

TEST_P(ViewsAgree, WithTheEntriesTakenInWhole) {
    auto whole_clock = FakeClock::at(kNow);
    auto views_clock = FakeClock::at(kNow);
    GossipStore whole("gate-a", whole_clock, StoreLimits{.pending_bytes = kPendingBytes, .topic_bytes = 65536});
    GossipStore viewed("gate-a", views_clock, StoreLimits{.pending_bytes = kPendingBytes, .topic_bytes = 65536});
    for (GossipStore* store : {&whole, &viewed}) {
        std::vector<GossipEntry> held = entries_of(GetParam().held);
        static_cast<void>(store->ingest_batch(held, "gate-h"));
        static_cast<void>(::quillfern::testing::take_pending(*store));
    }
    std::vector<GossipEntry> entries = entries_of(GetParam().batch);
    const Views views(GetParam().batch);
    const std::vector<IngestOutcome> outcomes = viewed.ingest_views(views.views(), "gate-b");
    EXPECT_EQ(names(outcomes), GetParam().outcomes);
    EXPECT_EQ(names(whole.ingest_batch(entries, "gate-b")), GetParam().outcomes);
    EXPECT_EQ(contents(viewed), contents(whole));
}

EntrySpec spec(std::string key, std::string nonce, std::uint64_t version = kNow) {
    return EntrySpec{.key = std::move(key), .nonce = std::move(nonce), .version = version};
}

EntrySpec with_payload(EntrySpec entry, json::Value payload) {
    entry.payload = std::move(payload);
    return entry;
}

std::vector<EntrySpec> many(std::size_t count) {
    std::vector<EntrySpec> specs;
    for (std::size_t i = 0; i < count; ++i)
        specs.push_back(spec("k" + std::to_string(i % 100), "m" + std::to_string(i), kNow + i));
    return specs;
}

std::vector<std::string> accepted(std::size_t count) { return std::vector<std::string>(count, "Accepted"); }

INSTANTIATE_TEST_SUITE_P(
    Batches, ViewsAgree,
    ::testing::Values(
        BatchCase{"Fresh", {}, {spec("a", "n1"), spec("b", "n2")}, {"Accepted", "Accepted"}},
        BatchCase{"OneNonceTwice", {}, {spec("a", "n1"), spec("b", "n1")}, {"Accepted", "Duplicate"}},
        BatchCase{"NonceHeld", {spec("a", "n1")}, {spec("b", "n1"), spec("c", "n2")}, {"Duplicate", "Accepted"}},
        BatchCase{"VersionHeld",
                  {spec("a", "n1", kNow + 5)},
                  {spec("a", "n2", kNow + 5), spec("a", "n3", kNow + 4), spec("a", "n4", kNow + 6)},
                  {"Duplicate", "Duplicate", "Accepted"}},
        BatchCase{"NewerThenOlderInOneBatch",
                  {},
                  {spec("a", "n1", kNow + 9), spec("a", "n2", kNow + 8), spec("a", "n3", kNow + 10)},
                  {"Accepted", "Duplicate", "Accepted"}},
        BatchCase{
            "ExpiredNoHopsAndBadKeys",
            {},
            {EntrySpec{.key = "a", .nonce = "n1", .expires_at = kNow}, EntrySpec{.key = "b", .nonce = "n2", .ttl = 0},
             spec("", "n3"), spec("bad\x7f", "n4"), spec(std::string(257, 'k'), "n5"),
             spec("c", std::string(1025, 'n')), EntrySpec{.key = "d", .nonce = "n6", .origin = std::string(1025, 'o')}},
            {"Expired", "Expired", "Rejected", "Rejected", "Rejected", "Rejected", "Rejected"}},
        BatchCase{"HeldNonceBeforeBadKey", {spec("a", "n1")}, {spec("", "n1")}, {"Duplicate"}},
        BatchCase{"TopicByteBudget",
                  {},
                  {with_payload(spec("a", "n1"), std::string(40000, 'x')),
                   with_payload(spec("b", "n2"), std::string(40000, 'y')), spec("c", "n3")},
                  {"Accepted", "AtCapacity", "Accepted"}},
        BatchCase{"LongNonces",
                  {},
                  {spec("a", std::string(300, 'n')), spec("b", std::string(300, 'n'))},
                  {"Accepted", "Duplicate"}},
        BatchCase{"OverSeveralSlices", {}, many(600), accepted(600)}),
    [](const auto& info) { return info.param.name; });

// A nonce found by the early look-up, then forgotten by the history before the nonce lock
// (the entries ahead of it in the slice pushed it out), with its key no longer held: the
// entry is built after all, and accepted, as it is when taken in whole.
TEST(ViewsStale, AnEarlyDuplicateWhoseNonceWasForgottenIsBuiltAndAccepted) {
    for (const bool as_views : {false, true}) {
        SCOPED_TRACE(as_views ? "views" : "whole");
        auto clock = FakeClock::at(kNow);
        GossipStore store("gate-a", clock);
        std::vector<GossipEntry> first = {
            make_entry(EntrySpec{.key = "gone", .nonce = "old", .expires_at = kNow + 10})};
        static_cast<void>(store.ingest_batch(first, "gate-b"));
        // The history is then full, "old" its oldest nonce.
        std::vector<EntrySpec> fill;
        for (std::size_t i = 1; i < kNonceHistoryCapacity; ++i)
            fill.push_back(spec("fill", "f" + std::to_string(i), kNow + i));
        std::vector<GossipEntry> filling = entries_of(fill);
        for (std::size_t at = 0; at < filling.size(); at += 256) {
            const std::size_t count = std::min<std::size_t>(256, filling.size() - at);
            static_cast<void>(store.ingest_batch(std::span(filling).subspan(at, count), "gate-b"));
        }
        clock->set(kNow + 20);
        ASSERT_EQ(store.evict_expired(), 1u);  // "gone" is not held any more; "old" is still remembered
        ASSERT_EQ(store.stats().nonce_history_size, kNonceHistoryCapacity);

        const std::vector<EntrySpec> batch = {spec("fill", "f-new", kNow + 100'000),
                                              EntrySpec{.key = "gone", .nonce = "old", .expires_at = kNow + 600}};
        std::vector<GossipEntry> entries = entries_of(batch);
        const Views views(batch);
        const std::vector<IngestOutcome> outcomes =
            as_views ? store.ingest_views(views.views(), "gate-b") : store.ingest_batch(entries, "gate-b");
        EXPECT_EQ(names(outcomes), (std::vector<std::string>{"Accepted", "Accepted"}));
        const std::vector<GossipEntry> held = store.query(Topic::Data, "gone");
        ASSERT_EQ(held.size(), 1u);
        EXPECT_EQ(held[0].nonce, "old");
        EXPECT_EQ(json::to_string(held[0].to_json()), json::to_string(entries_of({batch[1]})[0].to_json()));
    }
}

// An early answer that the entries ahead of it in the slice turn into a Duplicate: it is
// refused at the nonce lock, whatever the early look-up found.
TEST(ViewsStale, AnEarlyMissThatTheSliceMadeADuplicateIsRefused) {
    GossipStore store("gate-a", FakeClock::at(kNow));
    const std::vector<EntrySpec> batch = {spec("a", "n1", kNow + 2), spec("b", "n1"), spec("a", "n3", kNow + 1)};
    const Views views(batch);
    EXPECT_EQ(names(store.ingest_views(views.views(), "gate-b")),
              (std::vector<std::string>{"Accepted", "Duplicate", "Duplicate"}));
    EXPECT_EQ(store.peer_stats().at("gate-b").entries_rejected, 2u);
    EXPECT_EQ(::quillfern::testing::take_pending(store).size(), 1u);
}

}  // namespace
}  // namespace quillfern::gossip
