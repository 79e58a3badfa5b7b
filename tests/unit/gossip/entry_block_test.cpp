// Entries in one block: what the readers make, when the store may keep an entry's block
// as it is, and the size of the JSON form counted without writing it.
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "entry_block.hpp"
#include "quillfern/gossip_store.hpp"
#include "store_fixture.hpp"

namespace quillfern::gossip::testing {
namespace {

constexpr std::string_view kEntryText =
    R"({"created_at_epoch":100,"expires_at_epoch":700,"key":"user.alice","nonce":"n-1","origin_gate":"gate-b",)"
    R"("payload":{"p":[1,"x"]},"topic":"data","ttl":8,"version":7})";

GossipEntry read_entry(std::string_view text) {
    json::Reader reader(text);
    auto entry = GossipEntry::read(reader, 0);
    EXPECT_TRUE(entry.has_value() && !reader.failed()) << text;
    return entry ? std::move(*entry) : GossipEntry{};
}

std::string json_of(const GossipEntry& entry) {
    std::string text;
    append_entry_json(text, entry);
    return text;
}

TEST(EntryBlock, AnEntryReadFromTextLivesInOneBlockThatTheStoreKeeps) {
    const GossipEntry entry = read_entry(kEntryText);
    ASSERT_NE(entry.payload, nullptr);
    const detail::EntryBlock* home = entry.payload->home();
    ASSERT_NE(home, nullptr);
    EXPECT_EQ(entry.key.get(), &home->key());
    EXPECT_EQ(entry.block().get(), home);
    EXPECT_EQ(entry.clone().block().get(), home);
    EXPECT_EQ(GossipEntry::of_block(entry.block(), entry.ttl), entry);

    // Read from a parsed value, it is one block just the same.
    auto parsed = json::parse(kEntryText);
    ASSERT_TRUE(parsed.has_value());
    auto from_value = GossipEntry::from_json(*parsed);
    ASSERT_TRUE(from_value.has_value());
    EXPECT_NE(from_value->payload->home(), nullptr);
    EXPECT_EQ(*from_value, entry);
}

// A field changed after reading: the block no longer holds the entry, and the block made
// for it holds the changed entry.
struct ChangeCase {
    const char* name;
    std::function<void(GossipEntry&)> change;
};

class ChangedEntry : public ::testing::TestWithParam<ChangeCase> {};

TEST_P(ChangedEntry, GetsABlockOfItsOwn) {
    GossipEntry entry = read_entry(kEntryText);
    const detail::EntryBlock* read_block = entry.payload->home();
    GetParam().change(entry);
    const auto block = entry.block();
    EXPECT_NE(block.get(), read_block);
    EXPECT_EQ(GossipEntry::of_block(block, entry.ttl), entry);
    EXPECT_EQ(GossipEntry::of_block(std::move(entry).take_block(), block->ttl()),
              GossipEntry::of_block(block, block->ttl()));
}

INSTANTIATE_TEST_SUITE_P(
    Fields, ChangedEntry,
    ::testing::Values(ChangeCase{"Topic", [](GossipEntry& e) { e.topic = Topic::Compute; }},
                      ChangeCase{"Key", [](GossipEntry& e) { e.key = share_text("user.bob"); }},
                      ChangeCase{"Payload", [](GossipEntry& e) { e.payload = share_payload_text("[2]"); }},
                      ChangeCase{"Origin", [](GossipEntry& e) { e.origin_gate = share_text("gate-c"); }},
                      ChangeCase{"Nonce", [](GossipEntry& e) { e.nonce = "n-2"; }},
                      ChangeCase{"Ttl", [](GossipEntry& e) { e.ttl = 3; }},
                      ChangeCase{"Version", [](GossipEntry& e) { e.version = 8; }},
                      ChangeCase{"CreatedAt", [](GossipEntry& e) { e.created_at_epoch = 101; }},
                      ChangeCase{"ExpiresAt", [](GossipEntry& e) { e.expires_at_epoch = 701; }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EntryBlock, AnEntryBuiltFieldByFieldIsCopiedIntoABlock) {
    const GossipEntry entry = make_entry({});
    EXPECT_EQ(entry.payload->home(), nullptr);
    const auto block = entry.block();
    EXPECT_EQ(GossipEntry::of_block(block, entry.ttl), entry);
    EXPECT_EQ(block->origin(), entry.origin_gate);  // the origin is shared, not copied
    // An entry without texts: empty key, origin and nonce, a null payload.
    const GossipEntry bare;
    EXPECT_EQ(GossipEntry::of_block(bare.block(), 0), bare);
}

// ---- The size of the JSON form ------------------------------------------------------------

struct SizeCase {
    const char* name;
    std::function<void(GossipEntry&)> change;
};

class JsonSize : public ::testing::TestWithParam<SizeCase> {};

TEST_P(JsonSize, IsTheLengthOfTheWrittenText) {
    GossipEntry entry = make_entry({});
    GetParam().change(entry);
    const auto block = entry.block();
    for (std::uint8_t ttl :
         {std::uint8_t{0}, std::uint8_t{9}, std::uint8_t{10}, std::uint8_t{99}, std::uint8_t{100}, std::uint8_t{255}}) {
        EXPECT_EQ(block->json_size(ttl), json_of(GossipEntry::of_block(block, ttl)).size()) << int{ttl};
    }
}

std::string every_byte() {
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes.push_back(static_cast<char>(b));
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(
    Entries, JsonSize,
    ::testing::Values(SizeCase{"Plain", [](GossipEntry&) {}},
                      SizeCase{"EveryByteInTheNonce", [](GossipEntry& e) { e.nonce = every_byte(); }},
                      SizeCase{"EveryByteInTheKey", [](GossipEntry& e) { e.key = share_text(every_byte()); }},
                      SizeCase{"EveryByteInTheOrigin",
                               [](GossipEntry& e) { e.origin_gate = share_text(every_byte()); }},
                      // Escapes at the ends of 8-byte words and in short tails.
                      SizeCase{"EscapesAtWordEdges",
                               [](GossipEntry& e) {
                                   e.nonce =
                                       "abcdefg\x01"
                                       "\"bcdefgh\\\n";
                                   e.key = share_text("\t");
                                   e.origin_gate = share_text("gate\x1f");
                               }},
                      SizeCase{"EmptyTextsAndNullPayload",
                               [](GossipEntry& e) {
                                   e.nonce.clear();
                                   e.key = nullptr;
                                   e.origin_gate = nullptr;
                                   e.payload = nullptr;
                               }},
                      SizeCase{"EachTopic", [](GossipEntry& e) { e.topic = Topic::Compute; }},
                      SizeCase{"VarneTopic", [](GossipEntry& e) { e.topic = Topic::Varne; }},
                      SizeCase{"ZeroNumbers",
                               [](GossipEntry& e) {
                                   e.version = 0;
                                   e.created_at_epoch = 0;
                                   e.expires_at_epoch = 0;
                               }},
                      SizeCase{"NumbersAtPowersOfTen",
                               [](GossipEntry& e) {
                                   e.version = 9;
                                   e.created_at_epoch = 10;
                                   e.expires_at_epoch = 9'999'999'999'999'999'999u;
                               }},
                      SizeCase{"LargestNumbers",
                               [](GossipEntry& e) {
                                   e.version = std::numeric_limits<std::uint64_t>::max();
                                   e.created_at_epoch = 10'000'000'000'000'000'000u;
                                   e.expires_at_epoch = 1'000'000'000'000'000'000u;
                               }},
                      SizeCase{"PayloadWithEscapes",
                               [](GossipEntry& e) {
                                   e.payload = share_payload({{"a\n", "\"q\""}});
                               }}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(JsonSize, EveryNumberOfDigits) {
    GossipEntry entry = make_entry({});
    for (std::uint64_t n = 1, step = 0; step < 20; ++step, n *= 10) {
        for (std::uint64_t value : {n - 1, n, n + 1}) {
            entry.version = value;
            const auto block = entry.block();
            ASSERT_EQ(block->json_size(1), json_of(GossipEntry::of_block(block, 1)).size()) << value;
        }
    }
}

TEST(PendingCopyJson, IsWrittenAsTheEntryItStandsFor) {
    const GossipEntry entry = read_entry(kEntryText);
    const PendingCopy copy(entry.block());
    GossipEntry expected = entry.clone();
    expected.ttl = 7;
    EXPECT_EQ(copy.entry(), expected);
    std::string text;
    append_entry_json(text, copy);
    EXPECT_EQ(text, json_of(expected));
    EXPECT_EQ(copy.json_size(), text.size());
}

}  // namespace
}  // namespace quillfern::gossip::testing
