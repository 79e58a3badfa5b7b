// The plain reader: a value it takes as canonical is the text the writer writes for it,
// strings and integers it takes read as the full reader reads them, and everything it is
// not sure of is declined.
#include <string>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

class CanonicalTaken : public ::testing::TestWithParam<std::string> {};

TEST_P(CanonicalTaken, IsItsOwnCanonicalText) {
    const std::string text = " " + GetParam() + " ";
    PlainReader reader(text);
    EXPECT_EQ(reader.canonical_value(kMaxDepth), GetParam());
    EXPECT_FALSE(reader.declined());
    EXPECT_TRUE(reader.at_end());
    auto canonical = canonical_text(text);
    ASSERT_TRUE(canonical.has_value());
    EXPECT_EQ(*canonical, GetParam());
}

INSTANTIATE_TEST_SUITE_P(Values, CanonicalTaken,
                         ::testing::Values("null", "true", "false", "0", "7", "-7", "9999999999999999999",
                                           "-999999999999999999", R"("")", R"("plain text of sixteen bytes and more")",
                                           "\"\xC3\xA9 \xF0\x9F\x8C\xBF \x7F\"", "[]", "{}", "[[],{},[1,[2]]]",
                                           R"({"":0,"A":1,"B":[],"a":{"x":null},"b":"c"})", "\"\xE2\x82\xAC\"",
                                           std::string(64, '[') + std::string(64, ']')));

class CanonicalDeclined : public ::testing::TestWithParam<std::string> {};

TEST_P(CanonicalDeclined, IsLeftToTheFullReader) {
    PlainReader reader(GetParam());
    static_cast<void>(reader.canonical_value(64));
    EXPECT_TRUE(reader.declined() || !reader.at_end());
}

INSTANTIATE_TEST_SUITE_P(Values, CanonicalDeclined,
                         ::testing::Values("", " ", "nul", "truex", "-0", "01", "1.0", "1e2", "1E2", "-",
                                           "18446744073709551615", "-9223372036854775808", R"("a\nb")", R"("\u0041")",
                                           "\"a\tb\"", "\"\xED\xA0\x80\"", "\"\xC3\"", "\"\xFF\"", R"("open)", "[1,]",
                                           "[1 ]", "[ 1]", R"({"a" :1})", R"({"a":1 })", R"({"b":1,"a":2})",
                                           R"({"a":1,"a":1})", R"({"\u0061":1})", "{1:2}", "[1}", "{\"a\":1]",
                                           std::string(65, '[') + std::string(65, ']'), "[1] [2]"));

TEST(PlainReader, TakesStringsAndIntegersAsTheyStand) {
    PlainReader reader(" \"gate-b\xC3\xA9\" , 18446744073709551615 ,0");
    EXPECT_EQ(reader.string(), "gate-b\xC3\xA9");
    EXPECT_TRUE(reader.take(','));
    EXPECT_EQ(reader.unsigned_integer(), 18446744073709551615u);
    EXPECT_TRUE(reader.take_if(','));
    EXPECT_EQ(reader.unsigned_integer(), 0u);
    EXPECT_TRUE(reader.at_end());
    EXPECT_FALSE(reader.declined());
}

TEST(PlainReader, DeclinesIntegersThatAreNotPlain) {
    for (const std::string text : {"18446744073709551616", "-1", "01", "1.0", "1e3", "+1", "x"}) {
        PlainReader reader(text);
        static_cast<void>(reader.unsigned_integer());
        EXPECT_TRUE(reader.declined()) << text;
    }
}

TEST(PlainReader, DeclinesStringsThatAreNotPlain) {
    for (const std::string text : {R"("a\"b")", R"("a\\b")", "\"a\nb\"", "\"\xC0\x80\"", R"("cut)", "x"}) {
        PlainReader reader(text);
        static_cast<void>(reader.string());
        EXPECT_TRUE(reader.declined()) << text;
    }
}

// Strings are looked at in blocks: whatever the block a special byte or the closing quote
// falls in, and however much text follows, the string reads the same.
TEST(PlainReader, ReadsAStringTheSameWhereverItsBytesFall) {
    for (std::size_t length = 0; length <= 80; ++length) {
        const std::string body(length, 'a');
        for (const std::size_t after : {0, 1, 40}) {
            const std::string text = "\"" + body + "\"" + std::string(after, ' ');
            PlainReader reader(text);
            EXPECT_EQ(reader.string(), body) << length << " " << after;
            EXPECT_FALSE(reader.declined()) << length << " " << after;
        }
        for (std::size_t at = 0; at < length; ++at) {
            for (const char special : {'\\', '\x1f'}) {
                std::string text = "\"" + body + "\"" + std::string(40, ' ');
                text[1 + at] = special;
                PlainReader reader(text);
                static_cast<void>(reader.string());
                EXPECT_TRUE(reader.declined()) << length << " " << at;
            }
            const std::string high = body.substr(0, at) + "\xC3\xA9" + body.substr(at);
            const std::string text = "\"" + high + "\"" + std::string(40, ' ');
            PlainReader reader(text);
            EXPECT_EQ(reader.string(), high) << length << " " << at;
            EXPECT_FALSE(reader.declined()) << length << " " << at;
        }
    }
}

}  // namespace
}  // namespace quillfern::json
