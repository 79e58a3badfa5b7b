// json::unexpected_description and text::debug_quoted: the found thing of type errors.
#include <cstdint>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"
#include "quillfern/text.hpp"

namespace quillfern::json {
namespace {

TEST(UnexpectedDescription, EveryKind) {
    struct Case {
        Value value;
        std::string description;
    };
    const Case cases[] = {
        {nullptr, "null"},
        {true, "boolean `true`"},
        {false, "boolean `false`"},
        {Value(std::uint64_t{5}), "integer `5`"},
        {Value(std::int64_t{-5}), "integer `-5`"},
        {Value(std::int64_t{5}), "integer `5`"},
        {Value(std::numeric_limits<std::uint64_t>::max()), "integer `18446744073709551615`"},
        {Value(std::numeric_limits<std::int64_t>::min()), "integer `-9223372036854775808`"},
        {7800.0, "floating point `7800.0`"},
        {-0.0, "floating point `-0.0`"},
        {0.5, "floating point `0.5`"},
        {1e16, "floating point `1e16`"},
        {1e-7, "floating point `1e-7`"},
        {std::numeric_limits<double>::quiet_NaN(), "floating point `NaN`"},
        {-std::numeric_limits<double>::infinity(), "floating point `-inf`"},
        {"x", "string \"x\""},
        {"", "string \"\""},
        {Value::array({1}), "sequence"},
        {Value::array(), "sequence"},
        {Value::object(), "map"},
        {Value{{"a", 1}}, "map"},
    };
    for (const auto& c : cases) EXPECT_EQ(unexpected_description(c.value), c.description) << c.description;
}

TEST(UnexpectedDescription, ReadNumbersKeepTheirClass) {
    EXPECT_EQ(unexpected_description(parse("7800.0").value()), "floating point `7800.0`");
    EXPECT_EQ(unexpected_description(parse("78e2").value()), "floating point `7800.0`");
    EXPECT_EQ(unexpected_description(parse("-0").value()), "floating point `-0.0`");
    EXPECT_EQ(unexpected_description(parse("65536").value()), "integer `65536`");
    EXPECT_EQ(unexpected_description(parse("-1").value()), "integer `-1`");
}

TEST(DebugQuoted, RustDebugEscapes) {
    struct Case {
        std::string raw;
        std::string quoted;
    };
    const Case cases[] = {
        {"plain", R"("plain")"},
        {"a\"b", R"("a\"b")"},
        {"back\\slash", R"("back\\slash")"},
        {"\n\r\t", R"("\n\r\t")"},
        {std::string(1, '\0'), R"("\0")"},
        {"\x01\x1f\x7f", R"("\u{1}\u{1f}\u{7f}")"},
        {"it's", R"("it's")"},
        {"/", R"("/")"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        {"\xC2\x85", R"("\u{85}")"},        // C1 control
        {"\xC2\xA0", R"("\u{a0}")"},        // no-break space
        {"\xC2\xAD", R"("\u{ad}")"},        // soft hyphen
        {"e\xCC\x81", R"("e\u{301}")"},     // combining acute accent
        {"\xE2\x80\x8B", R"("\u{200b}")"},  // zero width space
        {"\xE2\x80\xA8", R"("\u{2028}")"},  // line separator
        {"\xEF\xBB\xBF", R"("\u{feff}")"},  // byte order mark
        {"\xEE\x80\x80", R"("\u{e000}")"},  // private use
        {"\xff", "\"\xEF\xBF\xBD\""},       // not UTF-8
    };
    for (const auto& c : cases) EXPECT_EQ(text::debug_quoted(c.raw), c.quoted) << testing::PrintToString(c.raw);
    EXPECT_EQ(unexpected_description(Value("a\"\n")), R"(string "a\"\n")");
}

}  // namespace
}  // namespace quillfern::json
