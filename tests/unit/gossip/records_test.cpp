// Topics, outcomes, copies of entries, and the JSON text the records are written as.
#include <cstdint>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillfern/gossip_store.hpp"
#include "store_fixture.hpp"

namespace quillfern::gossip {
namespace {

GossipEntry sample_entry() {
    GossipEntry entry;
    entry.topic = Topic::Data;
    entry.key = share_text("user.alice");
    entry.payload = share_payload({{"b", {1, true, nullptr}}, {"a", "x"}});
    entry.origin_gate = share_text("gate-b");
    entry.nonce = "n-1";
    entry.ttl = 8;
    entry.version = 1'700'000'000;
    entry.created_at_epoch = 1'699'999'999;
    entry.expires_at_epoch = 1'700'000'600;
    return entry;
}

TEST(Topic, NamesAndBytes) {
    EXPECT_EQ(topic_name(Topic::Varne), "varne");
    EXPECT_EQ(topic_name(Topic::Data), "data");
    EXPECT_EQ(topic_name(Topic::Compute), "compute");
    EXPECT_EQ(static_cast<int>(Topic::Varne), 0);
    EXPECT_EQ(static_cast<int>(Topic::Data), 1);
    EXPECT_EQ(static_cast<int>(Topic::Compute), 2);
    EXPECT_THAT(kTopics, ::testing::ElementsAre(Topic::Varne, Topic::Data, Topic::Compute));
}

TEST(Topic, ParseMatchesExactBytesOnly) {
    struct Case {
        std::string_view text;
        std::optional<Topic> topic;
    };
    const Case cases[] = {
        {"varne", Topic::Varne},     {"data", Topic::Data},
        {"compute", Topic::Compute}, {"Varne", std::nullopt},
        {"DATA", std::nullopt},      {" data", std::nullopt},
        {"data ", std::nullopt},     {"", std::nullopt},
        {"comp", std::nullopt},      {std::string_view("data\0", 5), std::nullopt},
    };
    for (const Case& c : cases) EXPECT_EQ(parse_topic(c.text), c.topic) << '"' << c.text << '"';
}

TEST(IngestOutcome, NamesAreTheVariantNames) {
    EXPECT_EQ(outcome_name(IngestOutcome::Accepted), "Accepted");
    EXPECT_EQ(outcome_name(IngestOutcome::Duplicate), "Duplicate");
    EXPECT_EQ(outcome_name(IngestOutcome::Expired), "Expired");
    EXPECT_EQ(outcome_name(IngestOutcome::Rejected), "Rejected");
    EXPECT_EQ(outcome_name(IngestOutcome::AtCapacity), "AtCapacity");
    EXPECT_EQ(static_cast<int>(IngestOutcome::AtCapacity), 4);
}

// ---- Copies -------------------------------------------------------------------------------

TEST(GossipEntryCopy, CloneSharesTextsAndPayloadAndCopiesTheNonce) {
    const GossipEntry entry = sample_entry();
    const GossipEntry copy = entry.clone();
    EXPECT_EQ(copy, entry);
    EXPECT_EQ(copy.key, entry.key);
    EXPECT_EQ(copy.origin_gate, entry.origin_gate);
    EXPECT_EQ(copy.payload, entry.payload);
    EXPECT_EQ(entry.key.use_count(), 2);
    EXPECT_NE(copy.nonce.data(), entry.nonce.data());
}

TEST(GossipEntryCopy, ForwardCopyTakesOneHop) {
    GossipEntry entry = sample_entry();
    auto copy = entry.forward_copy();
    ASSERT_TRUE(copy.has_value());
    EXPECT_EQ(copy->ttl, 7);
    copy->ttl = 8;
    EXPECT_EQ(*copy, entry);  // every other field equal

    entry.ttl = 1;
    ASSERT_TRUE(entry.forward_copy().has_value());
    EXPECT_EQ(entry.forward_copy()->ttl, 0);
    entry.ttl = 0;
    EXPECT_FALSE(entry.forward_copy().has_value());
}

TEST(GossipEntryCopy, EqualityComparesValuesNotPointers) {
    const GossipEntry entry = sample_entry();
    GossipEntry other = entry.clone();
    other.key = share_text("user.alice");
    other.payload = share_payload(payload_of(entry.payload));
    EXPECT_EQ(other, entry);

    auto differs = [&](auto change) {
        GossipEntry changed = entry.clone();
        change(changed);
        return !(changed == entry);
    };
    EXPECT_TRUE(differs([](GossipEntry& e) { e.topic = Topic::Compute; }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.key = share_text("user.bob"); }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.payload = share_payload(nullptr); }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.origin_gate = share_text("gate-c"); }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.nonce = "n-2"; }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.ttl = 3; }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.version += 1; }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.created_at_epoch += 1; }));
    EXPECT_TRUE(differs([](GossipEntry& e) { e.expires_at_epoch += 1; }));
}

// ---- JSON text ------------------------------------------------------------------------------

TEST(RecordJson, EntryIsWrittenWithItsNineMembersSorted) {
    EXPECT_EQ(json::to_string(sample_entry().to_json()),
              R"({"created_at_epoch":1699999999,"expires_at_epoch":1700000600,"key":"user.alice","nonce":"n-1",)"
              R"("origin_gate":"gate-b","payload":{"a":"x","b":[1,true,null]},"topic":"data","ttl":8,)"
              R"("version":1700000000})");
}

TEST(RecordJson, EntryWithoutSharedValuesWritesEmptyTextsAndNull) {
    GossipEntry entry;
    EXPECT_EQ(json::to_string(entry.to_json()),
              R"({"created_at_epoch":0,"expires_at_epoch":0,"key":"","nonce":"","origin_gate":"",)"
              R"("payload":null,"topic":"varne","ttl":0,"version":0})");
}

TEST(RecordJson, EntryListIsAnArrayInOrder) {
    GossipEntry first = sample_entry();
    GossipEntry second = sample_entry();
    second.topic = Topic::Compute;
    second.key = share_text("job");
    const std::vector<GossipEntry> entries{first, second};
    json::Value written = entries_to_json(entries);
    ASSERT_TRUE(written.is_array());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_EQ(written[0]["key"], "user.alice");
    EXPECT_EQ(written[1]["topic"], "compute");
    EXPECT_EQ(json::to_string(entries_to_json({})), "[]");
}

TEST(RecordJson, WrittenEntryReadsBackEqual) {
    std::vector<GossipEntry> entries;
    entries.push_back(sample_entry());
    GossipEntry extreme = sample_entry();
    extreme.topic = Topic::Varne;
    extreme.key = share_text("");
    extreme.payload = share_payload(nullptr);
    extreme.ttl = 255;
    extreme.version = UINT64_MAX;
    extreme.created_at_epoch = 0;
    extreme.expires_at_epoch = UINT64_MAX;
    entries.push_back(extreme);
    GossipEntry unicode = sample_entry();
    unicode.topic = Topic::Compute;
    unicode.key = share_text("\xC3\xA9t\xC3\xA9\n\"q\"");
    unicode.payload = share_payload({{"x", -1.5}, {"y", "\xF0\x9F\x8C\xBF"}});
    entries.push_back(unicode);

    for (const GossipEntry& entry : entries) {
        auto text = json::to_string(entry.to_json());
        auto parsed = json::parse(text);
        ASSERT_TRUE(parsed.has_value()) << text;
        auto read = GossipEntry::from_json(*parsed);
        ASSERT_TRUE(read.has_value()) << read.error();
        EXPECT_EQ(*read, entry) << text;
    }
}

TEST(RecordJson, PeerStatsAndPeerMap) {
    PeerStats stats{.entries_received = 1, .entries_sent = 2, .last_exchange_epoch = 3, .entries_rejected = 4};
    EXPECT_EQ(json::to_string(stats.to_json()),
              R"({"entries_received":1,"entries_rejected":4,"entries_sent":2,"last_exchange_epoch":3})");

    PeerMap peers{{"gate-b", stats}, {"gate-a", PeerStats{}}};
    EXPECT_EQ(json::to_string(peers_to_json(peers)),
              R"({"gate-a":{"entries_received":0,"entries_rejected":0,"entries_sent":0,"last_exchange_epoch":0},)"
              R"("gate-b":{"entries_received":1,"entries_rejected":4,"entries_sent":2,"last_exchange_epoch":3}})");
    EXPECT_EQ(json::to_string(peers_to_json({})), "{}");
}

TEST(RecordJson, StoreStatsBeginsWithComputeEntries) {
    StoreStats stats{.varne_entries = 1,
                     .data_entries = 2,
                     .compute_entries = 3,
                     .nonce_history_size = 4,
                     .peer_count = 5,
                     .total_ingested = UINT64_MAX,
                     .total_evicted = 7};
    EXPECT_EQ(json::to_string(stats.to_json()),
              R"({"compute_entries":3,"data_entries":2,"nonce_history_size":4,"peer_count":5,"total_evicted":7,)"
              R"("total_ingested":18446744073709551615,"varne_entries":1})");
}

}  // namespace
}  // namespace quillfern::gossip
