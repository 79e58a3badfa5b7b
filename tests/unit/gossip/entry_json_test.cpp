// Reading entries from parsed JSON: both forms, the field rules and the error texts.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/gossip_store.hpp"
#include "store_fixture.hpp"

namespace quillfern::gossip {
namespace {

constexpr std::string_view kValidObject =
    R"({"topic":"data","key":"user.alice","payload":{"p":1},"origin_gate":"gate-b","nonce":"n-1","ttl":8,)"
    R"("version":7,"created_at_epoch":100,"expires_at_epoch":700})";

json::Value parse(std::string_view text) {
    auto parsed = json::parse(text);
    EXPECT_TRUE(parsed.has_value()) << text;
    return parsed ? *parsed : json::Value();
}

GossipEntry expected_entry() {
    GossipEntry entry;
    entry.topic = Topic::Data;
    entry.key = share_text("user.alice");
    entry.payload = share_payload({{"p", 1}});
    entry.origin_gate = share_text("gate-b");
    entry.nonce = "n-1";
    entry.ttl = 8;
    entry.version = 7;
    entry.created_at_epoch = 100;
    entry.expires_at_epoch = 700;
    return entry;
}

TEST(EntryFromJson, ReadsTheObjectForm) {
    auto read = GossipEntry::from_json(parse(kValidObject));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, expected_entry());
}

TEST(EntryFromJson, ReadsTheArrayFormInFieldOrder) {
    auto read = GossipEntry::from_json(parse(R"(["data","user.alice",{"p":1},"gate-b","n-1",8,7,100,700])"));
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, expected_entry());
}

// One member of the valid object replaced (or, with an empty value text, removed).
json::Value with_member(std::string_view name, std::string_view value_text) {
    json::Value object = parse(kValidObject);
    if (value_text.empty()) {
        object.erase(std::string(name));
    } else {
        object[std::string(name)] = parse(value_text);
    }
    return object;
}

struct AcceptCase {
    std::string name;
    std::string member;
    std::string value;  // empty: the member is left out
    std::function<void(GossipEntry&)> expect_change;
};

class EntryFromJsonAccepts : public ::testing::TestWithParam<AcceptCase> {};

TEST_P(EntryFromJsonAccepts, Member) {
    const auto& param = GetParam();
    auto read = GossipEntry::from_json(with_member(param.member, param.value));
    ASSERT_TRUE(read.has_value()) << read.error();
    GossipEntry expected = expected_entry();
    param.expect_change(expected);
    EXPECT_EQ(*read, expected);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, EntryFromJsonAccepts,
    ::testing::Values(
        AcceptCase{"UnknownMemberIgnored", "extra", R"({"any":[1]})", [](GossipEntry&) {}},
        AcceptCase{"CapitalisedNameIsUnknown", "TTL", "300", [](GossipEntry&) {}},
        AcceptCase{"NullPayload", "payload", "null", [](GossipEntry& e) { e.payload = share_payload(nullptr); }},
        AcceptCase{"TopicAsSingleNullMember", "topic", R"({"varne":null})",
                   [](GossipEntry& e) { e.topic = Topic::Varne; }},
        AcceptCase{"EmptyKey", "key", R"("")", [](GossipEntry& e) { e.key = share_text(""); }},
        AcceptCase{"EmptyOrigin", "origin_gate", R"("")", [](GossipEntry& e) { e.origin_gate = share_text(""); }},
        AcceptCase{"TtlZero", "ttl", "0", [](GossipEntry& e) { e.ttl = 0; }},
        AcceptCase{"Ttl255", "ttl", "255", [](GossipEntry& e) { e.ttl = 255; }},
        AcceptCase{"VersionZero", "version", "0", [](GossipEntry& e) { e.version = 0; }},
        AcceptCase{"VersionMax", "version", "18446744073709551615", [](GossipEntry& e) { e.version = UINT64_MAX; }},
        AcceptCase{"ExpiresMax", "expires_at_epoch", "18446744073709551615",
                   [](GossipEntry& e) { e.expires_at_epoch = UINT64_MAX; }}),
    [](const auto& info) { return info.param.name; });

struct RefuseCase {
    std::string name;
    std::string member;
    std::string value;  // empty: the member is left out
    std::string error;
};

class EntryFromJsonRefuses : public ::testing::TestWithParam<RefuseCase> {};

TEST_P(EntryFromJsonRefuses, Member) {
    const auto& param = GetParam();
    auto read = GossipEntry::from_json(with_member(param.member, param.value));
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), param.error);
}

INSTANTIATE_TEST_SUITE_P(
    Fields, EntryFromJsonRefuses,
    ::testing::Values(
        RefuseCase{"MissingTopic", "topic", "", "missing field `topic`"},
        RefuseCase{"MissingPayload", "payload", "", "missing field `payload`"},
        RefuseCase{"MissingExpiry", "expires_at_epoch", "", "missing field `expires_at_epoch`"},
        RefuseCase{"TopicCapitalised", "topic", R"("Varne")",
                   "unknown variant `Varne`, expected one of `varne`, `data`, `compute`"},
        RefuseCase{"TopicWithBlank", "topic", R"(" data")",
                   "unknown variant ` data`, expected one of `varne`, `data`, `compute`"},
        RefuseCase{"TopicMemberNotNull", "topic", R"({"varne":1})", "invalid type: integer `1`, expected unit"},
        RefuseCase{"TopicMemberUnknown", "topic", R"({"Data":null})",
                   "unknown variant `Data`, expected one of `varne`, `data`, `compute`"},
        RefuseCase{"TopicEmptyMap", "topic", "{}", "invalid value: map, expected map with a single key"},
        RefuseCase{"TopicTwoMembers", "topic", R"({"data":null,"varne":null})",
                   "invalid value: map, expected map with a single key"},
        RefuseCase{"TopicNumber", "topic", "0", "invalid type: integer `0`, expected string or map"},
        RefuseCase{"TopicArray", "topic", R"(["data"])", "invalid type: sequence, expected string or map"},
        RefuseCase{"KeyNumber", "key", "5", "invalid type: integer `5`, expected a string"},
        RefuseCase{"OriginNull", "origin_gate", "null", "invalid type: null, expected a string"},
        RefuseCase{"NonceArray", "nonce", "[]", "invalid type: sequence, expected a string"},
        RefuseCase{"Ttl256", "ttl", "256", "invalid value: integer `256`, expected u8"},
        RefuseCase{"TtlNegative", "ttl", "-1", "invalid value: integer `-1`, expected u8"},
        RefuseCase{"TtlWholeFraction", "ttl", "8.0", "invalid type: floating point `8.0`, expected u8"},
        RefuseCase{"TtlExponent", "ttl", "8e0", "invalid type: floating point `8.0`, expected u8"},
        RefuseCase{"TtlString", "ttl", R"("8")", R"(invalid type: string "8", expected u8)"},
        RefuseCase{"VersionNegative", "version", "-1", "invalid value: integer `-1`, expected u64"},
        RefuseCase{"VersionTooLarge", "version", "18446744073709551616",
                   "invalid type: floating point `1.8446744073709552e19`, expected u64"},
        RefuseCase{"CreatedFraction", "created_at_epoch", "1.5", "invalid type: floating point `1.5`, expected u64"},
        RefuseCase{"ExpiresBoolean", "expires_at_epoch", "true", "invalid type: boolean `true`, expected u64"},
        RefuseCase{"ExpiresMap", "expires_at_epoch", "{}", "invalid type: map, expected u64"}),
    [](const auto& info) { return info.param.name; });

struct WholeCase {
    std::string name;
    std::string text;
    std::string error;
};

class EntryFromJsonRefusesWhole : public ::testing::TestWithParam<WholeCase> {};

TEST_P(EntryFromJsonRefusesWhole, Value) {
    const auto& param = GetParam();
    auto read = GossipEntry::from_json(parse(param.text));
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), param.error);
}

INSTANTIATE_TEST_SUITE_P(
    Values, EntryFromJsonRefusesWhole,
    ::testing::Values(
        WholeCase{"String", R"("entry")", R"(invalid type: string "entry", expected struct GossipEntry)"},
        WholeCase{"Integer", "5", "invalid type: integer `5`, expected struct GossipEntry"},
        WholeCase{"Null", "null", "invalid type: null, expected struct GossipEntry"},
        WholeCase{"Boolean", "false", "invalid type: boolean `false`, expected struct GossipEntry"},
        WholeCase{"EmptyObject", "{}", "missing field `topic`"},
        WholeCase{"FirstMissingInFieldOrder", R"({"version":1,"key":"k"})", "missing field `topic`"},
        WholeCase{"OnlyTopic", R"({"topic":"data"})", "missing field `key`"},
        // Members are read in the object's (sorted) order; the first bad one is reported,
        // before any missing field.
        WholeCase{"FirstBadMemberWins", R"({"ttl":300,"key":5})", "invalid type: integer `5`, expected a string"},
        WholeCase{"EmptyArray", "[]", "invalid length 0, expected struct GossipEntry with 9 elements"},
        WholeCase{"EightElements", R"(["data","k",null,"g","n",8,7,100])",
                  "invalid length 8, expected struct GossipEntry with 9 elements"},
        WholeCase{"TenElements", R"(["data","k",null,"g","n",8,7,100,700,1])",
                  "invalid length 10, expected fewer elements in array"},
        WholeCase{"BadElementBeforeShortLength", R"(["data",5,null])", "invalid type: integer `5`, expected a string"},
        WholeCase{"BadTopicElement", R"(["Data","k",null,"g","n",8,7,100,700])",
                  "unknown variant `Data`, expected one of `varne`, `data`, `compute`"},
        WholeCase{"BadTtlElement", R"(["data","k",null,"g","n",-8,7,100,700])",
                  "invalid value: integer `-8`, expected u8"}),
    [](const auto& info) { return info.param.name; });

// Values built in code (not read from text) may hold signed integers.
TEST(EntryFromJson, SignedIntegersBuiltInCodeAreRangeChecked) {
    json::Value object = parse(kValidObject);
    object["ttl"] = std::int64_t{8};
    object["version"] = std::int64_t{7};
    auto read = GossipEntry::from_json(object);
    ASSERT_TRUE(read.has_value()) << read.error();
    EXPECT_EQ(*read, expected_entry());

    object["ttl"] = std::int64_t{256};
    read = GossipEntry::from_json(object);
    ASSERT_FALSE(read.has_value());
    EXPECT_EQ(read.error(), "invalid value: integer `256`, expected u8");
}

}  // namespace
}  // namespace quillfern::gossip
