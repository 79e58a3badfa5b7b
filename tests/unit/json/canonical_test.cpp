// json::canonical_text: the writer's text of the value the reader would build, read
// straight from the text, and the reader's refusals unchanged.
#include <string>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

struct CanonicalCase {
    std::string text;
    std::string canonical;
};

void PrintTo(const CanonicalCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class CanonicalTextTest : public testing::TestWithParam<CanonicalCase> {};

TEST_P(CanonicalTextTest, IsWhatTheWriterWritesForTheParsedValue) {
    const CanonicalCase& c = GetParam();
    auto canonical = canonical_text(c.text);
    ASSERT_TRUE(canonical.has_value()) << canonical.error().to_string();
    EXPECT_EQ(*canonical, c.canonical);
    auto parsed = parse(c.text);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(to_string(*parsed), c.canonical);
}

INSTANTIATE_TEST_SUITE_P(
    Values, CanonicalTextTest,
    testing::Values(CanonicalCase{" null ", "null"}, CanonicalCase{"true", "true"},
                    CanonicalCase{"\tfalse\r\n", "false"}, CanonicalCase{"0", "0"}, CanonicalCase{"-0", "-0.0"},
                    CanonicalCase{"-7", "-7"}, CanonicalCase{"18446744073709551615", "18446744073709551615"},
                    CanonicalCase{"18446744073709551616", "1.8446744073709552e19"}, CanonicalCase{"1E2", "100.0"},
                    CanonicalCase{"1.50", "1.5"}, CanonicalCase{"1e-7", "1e-7"}, CanonicalCase{"1e-400", "0.0"},
                    CanonicalCase{"-1e-400", "-0.0"},
                    // Strings: escapes that need none are written plainly; the others the writer's way.
                    CanonicalCase{R"("plain ünïcode")", R"("plain ünïcode")"},
                    CanonicalCase{R"("\u0041\/\"\\\n\u001f\u007f")", "\"A/\\\"\\\\\\n\\u001f\x7f\""},
                    CanonicalCase{R"("\ud83c\udf3f")", "\"\xF0\x9F\x8C\xBF\""},
                    CanonicalCase{R"("\b\f\r\t")", R"("\b\f\r\t")"},
                    // Containers: white space goes, keys are sorted byte-wise, the last repeated key counts.
                    CanonicalCase{" [ 1 , [ ] , { } ] ", "[1,[],{}]"},
                    CanonicalCase{R"({"b":1,"a":2})", R"({"a":2,"b":1})"},
                    CanonicalCase{R"({"a":1,"B":2,"_":3,"b":4})", R"({"B":2,"_":3,"a":1,"b":4})"},
                    CanonicalCase{R"({"k":1,"k":2})", R"({"k":2})"},
                    CanonicalCase{R"({"a":{"z":[{"y":1,"x":2}],"k":1},"a":{"q":0}})", R"({"a":{"q":0}})"},
                    CanonicalCase{R"({"a":0,"b":{"d":1,"c":2},"c":3})", R"({"a":0,"b":{"c":2,"d":1},"c":3})"},
                    CanonicalCase{R"({"\u0062":1,"a":2})", R"({"a":2,"b":1})"},
                    CanonicalCase{R"({"é":1,"z":2,"":3})", R"({"":3,"z":2,"é":1})"}));

// Whatever the reader refuses, the canonical reading refuses with the same text at the
// same place, also where the fault lies past a member that made it sort the object.
class CanonicalRefusalTest : public testing::TestWithParam<std::string> {};

TEST_P(CanonicalRefusalTest, RefusesLikeTheReader) {
    const std::string& text = GetParam();
    auto canonical = canonical_text(text);
    auto parsed = parse(text);
    ASSERT_FALSE(parsed.has_value());
    ASSERT_FALSE(canonical.has_value()) << *canonical;
    EXPECT_EQ(canonical.error().to_string(), parsed.error().to_string());
}

INSTANTIATE_TEST_SUITE_P(Texts, CanonicalRefusalTest,
                         testing::Values("", "  ", "x", "[1,]", "[1 2]", "{\"a\":1,}", "{\"a\" 1}", "{1:2}",
                                         "{\"b\":1,\"a\":}", "{\"b\":1,\"a\":2,\"c\"}", "{\"b\":1,\"a\":2} x",
                                         "\"\\x\"", "\"\\ud800\"", "\"a\x01\"", "\"\xC3\x28\"", "01", "1.", "-", "1e",
                                         "1e400", "-1e400", "tru", "nul", "[\"unterminated",
                                         std::string(128, '[') + std::string(128, ']'),
                                         "{\"b\":" + std::string(127, '[') + std::string(127, ']') + ",\"a\":1}",
                                         "{\"b\":1,\"a\":{\"d\":1,\"c\":[}}"));

TEST(CanonicalText, NestingLimitMatchesTheReader) {
    const std::string deepest = std::string(127, '[') + std::string(127, ']');
    auto canonical = canonical_text(deepest);
    ASSERT_TRUE(canonical.has_value());
    EXPECT_EQ(*canonical, deepest);
}

// Inside a longer text, as the request reader uses it: the value is read, the cursor left
// behind it, and the text around it untouched.
TEST(CanonicalText, ReaderAppendsOneValueAndStopsBehindIt) {
    Reader reader(R"({"b":[1, 2],"a":"x"}, "next")");
    std::string out = "prefix:";
    ASSERT_TRUE(reader.read_canonical(out, 0));
    EXPECT_EQ(out, R"(prefix:{"a":"x","b":[1,2]})");
    EXPECT_EQ(reader.peek_token(), ',');
}

}  // namespace
}  // namespace quillfern::json
