// Reading entries straight from JSON text: the same entries (payloads as canonical text)
// and the same refusals as reading the parsed value, the cursor left behind the value.
#include <string>

#include <gtest/gtest.h>

#include "quillfern/gossip_store.hpp"
#include "store_fixture.hpp"

namespace quillfern::gossip {
namespace {

constexpr std::string_view kFields =
    R"("key":"user.alice","payload":{"z":[1,2.50,"\u0041"],"a":null},"origin_gate":"gate-b","nonce":"n-1","ttl":8,)"
    R"("version":7,"created_at_epoch":100,"expires_at_epoch":700)";

std::string object_with(std::string_view topic_member) {
    return "{" + std::string(topic_member) + "," + std::string(kFields) + "}";
}

struct ReadCase {
    std::string name;
    std::string text;
};

void PrintTo(const ReadCase& c, std::ostream* os) { *os << c.text; }

class EntryRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(EntryRead, AgreesWithReadingTheParsedValue) {
    const std::string text = "[" + GetParam().text + ",0]";
    auto parsed = json::parse(text);
    ASSERT_TRUE(parsed.has_value()) << parsed.error().to_string();
    auto from_value = GossipEntry::from_json((*parsed)[0]);

    json::Reader reader(text);
    ASSERT_EQ(reader.peek_token(), '[');
    reader.advance();
    auto from_text = GossipEntry::read(reader, 1);
    ASSERT_FALSE(reader.failed()) << reader.error().to_string();
    // The reader stands behind the value, the rest of the text still to be read.
    EXPECT_TRUE(reader.has_next_element(false));
    EXPECT_EQ(reader.read_value(1), 0);

    ASSERT_EQ(from_text.has_value(), from_value.has_value())
        << (from_value ? "read from the text: " + from_text.error() : "read from the value: " + from_value.error());
    if (!from_value) return;
    EXPECT_EQ(*from_text, *from_value);
    EXPECT_EQ(payload_text(from_text->payload), json::to_string(payload_of(from_value->payload)));
}

INSTANTIATE_TEST_SUITE_P(
    Texts, EntryRead,
    ::testing::Values(
        ReadCase{"Object", object_with(R"("topic":"data")")},
        ReadCase{"ObjectWithWhiteSpace", " { \"topic\" : \"varne\" , " + std::string(kFields) + " } "},
        ReadCase{"TopicAsSingleNullMember", object_with(R"("topic":{"compute":null})")},
        ReadCase{"TopicMapWithRepeatedMember", object_with(R"("topic":{"data":1,"data":null})")},
        ReadCase{"TopicMapWithTwoMembers", object_with(R"("topic":{"data":null,"varne":null})")},
        ReadCase{"TopicUnknown", object_with(R"("topic":"Data")")},
        ReadCase{"TopicNumber", object_with(R"("topic":0)")},
        ReadCase{"UnknownMembersSkipped", object_with(R"("topic":"data","extra":{"deep":[[{}]]},"TTL":"x")")},
        // Of repeated members the last counts: a bad value is mended by a later good one,
        // and a good one spoiled by a later bad one.
        ReadCase{"BadTtlThenGood", object_with(R"("ttl":300,"topic":"data")")},
        ReadCase{"LaterPayloadCounts", R"({"payload":[1],"topic":"data",)" + std::string(kFields) + "}"},
        ReadCase{"LaterBadNonce", "{\"topic\":\"data\"," + std::string(kFields) + ",\"nonce\":5}"},
        ReadCase{"LaterGoodTopic", "{\"topic\":5," + std::string(kFields) + ",\"topic\":\"data\"}"},
        ReadCase{"MissingPayload", R"({"topic":"data","key":"k","origin_gate":"g","nonce":"n","ttl":1,)"
                                   R"("version":1,"created_at_epoch":1,"expires_at_epoch":2})"},
        ReadCase{"NullPayload", R"({"topic":"data","key":"k","payload":null,"origin_gate":"g","nonce":"n","ttl":1,)"
                                R"("version":1,"created_at_epoch":1,"expires_at_epoch":2})"},
        ReadCase{"TtlWholeFraction", object_with(R"("topic":"data","ttl":8.0)")},
        ReadCase{"VersionNegative", object_with(R"("topic":"data","version":-1)")},
        ReadCase{"VersionTooLarge", object_with(R"("topic":"data","version":18446744073709551616)")},
        ReadCase{"ExpiresMax", object_with(R"("topic":"data","expires_at_epoch":18446744073709551615)")},
        ReadCase{"KeyNumber", object_with(R"("topic":"data","key":5)")},
        ReadCase{"EscapedTexts", object_with(R"("topic":"data","key":"a\tb","nonce":"\u00e9","origin_gate":"\/")")},
        ReadCase{"EscapedMemberName", object_with(R"("topic":"data","t\u0074l":9)")}, ReadCase{"EmptyObject", "{}"},
        ReadCase{"Array", R"(["data","k",{"b":1,"a":2},"g","n",8,7,100,700])"},
        ReadCase{"ArrayTopicMap", R"([{"varne":null},"k",null,"g","n",0,0,0,0])"},
        ReadCase{"ArrayEight", R"(["data","k",null,"g","n",8,7,100])"},
        ReadCase{"ArrayTen", R"(["data","k",null,"g","n",8,7,100,700,[1]])"},
        ReadCase{"ArrayBadElementThenShort", R"(["data",5,null])"},
        ReadCase{"ArrayBadTtl", R"(["data","k",null,"g","n",-8,7,100,700])"}, ReadCase{"EmptyArray", "[]"},
        ReadCase{"String", R"("entry")"}, ReadCase{"Number", "-5.5"}, ReadCase{"Null", "null"}),
    [](const auto& info) { return info.param.name; });

// A text that is not JSON fails the reader, wherever the fault lies in the entry.
TEST(EntryReadFaults, MalformedTextFailsTheReader) {
    for (std::string text : {object_with(R"("topic":"data",)"), object_with(R"("topic":"data")") + "}",
                             std::string(R"({"topic":"data","payload":[1,]})"), std::string(R"(["data",)"),
                             std::string(R"({"ttl":300,"payload":{"a":1,"a"}})")}) {
        json::Reader reader(text);
        static_cast<void>(GossipEntry::read(reader, 0));
        if (!reader.failed()) reader.finish();
        EXPECT_TRUE(reader.failed()) << text;
        EXPECT_FALSE(json::parse(text).has_value()) << text;
    }
}

}  // namespace
}  // namespace quillfern::gossip
