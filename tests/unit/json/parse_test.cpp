// json::parse: grammar, number classes, strings, nesting limit, and the exact error
// texts and positions.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

std::string error_of(std::string_view text) {
    auto result = parse(text);
    if (result) return "parsed: " + to_string(*result);
    return result.error().to_string();
}

struct ErrorCase {
    std::string text;
    std::string error;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << testing::PrintToString(c.text); }

class ParseErrorTest : public testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrorTest, ReportsTextAndPosition) { EXPECT_EQ(error_of(GetParam().text), GetParam().error); }

INSTANTIATE_TEST_SUITE_P(Syntax, ParseErrorTest,
                         testing::Values(
                             // Empty and white-space-only texts end where the text ends.
                             ErrorCase{"", "EOF while parsing a value at line 1 column 0"},
                             ErrorCase{"   ", "EOF while parsing a value at line 1 column 3"},
                             ErrorCase{"\n", "EOF while parsing a value at line 2 column 0"},
                             ErrorCase{"x", "expected value at line 1 column 1"},
                             ErrorCase{"\n\n  x", "expected value at line 3 column 3"},
                             ErrorCase{"\t\r\n x", "expected value at line 2 column 2"},
                             ErrorCase{"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},  // no byte order mark
                             ErrorCase{"\f1", "expected value at line 1 column 1"},  // form feed is no white space
                             ErrorCase{"NaN", "expected value at line 1 column 1"},
                             ErrorCase{"Infinity", "expected value at line 1 column 1"},
                             ErrorCase{"+1", "expected value at line 1 column 1"},
                             ErrorCase{"'a'", "expected value at line 1 column 1"},
                             ErrorCase{"[}", "expected value at line 1 column 2"},
                             ErrorCase{"{\"a\":}", "expected value at line 1 column 6"},
                             // Literals.
                             ErrorCase{"nul", "EOF while parsing a value at line 1 column 3"},
                             ErrorCase{"nulx", "expected ident at line 1 column 4"},
                             ErrorCase{"tru", "EOF while parsing a value at line 1 column 3"},
                             ErrorCase{"trux", "expected ident at line 1 column 4"},
                             ErrorCase{"fals", "EOF while parsing a value at line 1 column 4"},
                             ErrorCase{"True", "expected value at line 1 column 1"},
                             // Arrays.
                             ErrorCase{"[", "EOF while parsing a list at line 1 column 1"},
                             ErrorCase{"[1", "EOF while parsing a list at line 1 column 2"},
                             ErrorCase{"[1,", "EOF while parsing a value at line 1 column 3"},
                             ErrorCase{"[1,]", "trailing comma at line 1 column 4"},
                             ErrorCase{"[1,\n2,\n]", "trailing comma at line 3 column 1"},
                             ErrorCase{"[1 2]", "expected `,` or `]` at line 1 column 4"},
                             ErrorCase{"[,1]", "expected value at line 1 column 2"},
                             ErrorCase{"[1/*c*/]", "expected `,` or `]` at line 1 column 3"},
                             // Objects.
                             ErrorCase{"{", "EOF while parsing an object at line 1 column 1"},
                             ErrorCase{"{\"a\"", "EOF while parsing an object at line 1 column 4"},
                             ErrorCase{"{\"a\":", "EOF while parsing a value at line 1 column 5"},
                             ErrorCase{"{\"a\":1", "EOF while parsing an object at line 1 column 6"},
                             ErrorCase{"{\"a\":1,", "EOF while parsing a value at line 1 column 7"},
                             ErrorCase{"{\"a\":1,}", "trailing comma at line 1 column 8"},
                             ErrorCase{"{\"a\" 1}", "expected `:` at line 1 column 6"},
                             ErrorCase{"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
                             ErrorCase{"{1:2}", "key must be a string at line 1 column 2"},
                             ErrorCase{"{\"a\":1,2:3}", "key must be a string at line 1 column 8"},
                             ErrorCase{"{a:1}", "key must be a string at line 1 column 2"},
                             // After the value.
                             ErrorCase{"1x", "trailing characters at line 1 column 2"},
                             ErrorCase{"[1] x", "trailing characters at line 1 column 5"},
                             ErrorCase{"{} {}", "trailing characters at line 1 column 4"},
                             ErrorCase{"{\"a\":1}}", "trailing characters at line 1 column 8"},
                             ErrorCase{"1\n\n2", "trailing characters at line 3 column 1"},
                             ErrorCase{std::string("\"a\"\0", 4), "trailing characters at line 1 column 4"}));

INSTANTIATE_TEST_SUITE_P(
    Numbers, ParseErrorTest,
    testing::Values(
        ErrorCase{"-", "EOF while parsing a value at line 1 column 1"},
        ErrorCase{"-x", "invalid number at line 1 column 2"}, ErrorCase{"- 1", "invalid number at line 1 column 2"},
        ErrorCase{"01", "invalid number at line 1 column 2"}, ErrorCase{"-01", "invalid number at line 1 column 3"},
        ErrorCase{"00", "invalid number at line 1 column 2"},
        ErrorCase{"1.", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1.x", "invalid number at line 1 column 3"}, ErrorCase{"[1.]", "invalid number at line 1 column 4"},
        ErrorCase{".5", "expected value at line 1 column 1"},
        ErrorCase{"1e", "EOF while parsing a value at line 1 column 2"},
        ErrorCase{"1e+", "EOF while parsing a value at line 1 column 3"},
        ErrorCase{"1ex", "invalid number at line 1 column 3"}, ErrorCase{"1e+-2", "invalid number at line 1 column 4"},
        ErrorCase{"1.5E", "EOF while parsing a value at line 1 column 4"},
        ErrorCase{"1e400", "number out of range at line 1 column 5"},
        ErrorCase{"-1e400", "number out of range at line 1 column 6"},
        ErrorCase{"[1.8e308]", "number out of range at line 1 column 8"},
        ErrorCase{"1000000000000000000000e300", "number out of range at line 1 column 26"},
        // An exponent beyond 32 bits fails at the digit that overflows it.
        ErrorCase{"1e21474836480", "number out of range at line 1 column 12"},
        ErrorCase{"0.5e99999999999", "number out of range at line 1 column 14"}));

INSTANTIATE_TEST_SUITE_P(
    Strings, ParseErrorTest,
    testing::Values(
        ErrorCase{"\"abc", "EOF while parsing a string at line 1 column 4"},
        ErrorCase{"\"", "EOF while parsing a string at line 1 column 1"},
        ErrorCase{"\"a\x01\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
        ErrorCase{std::string("\"\0\"", 3),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        ErrorCase{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"},
        ErrorCase{"\"\t\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
        ErrorCase{"\"\\x\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\U0041\"", "invalid escape at line 1 column 3"},
        ErrorCase{"\"\\", "EOF while parsing a string at line 1 column 2"},
        ErrorCase{"\"\\u12G4\"", "invalid escape at line 1 column 7"},
        ErrorCase{"\"\\u12", "EOF while parsing a string at line 1 column 5"},
        ErrorCase{"\"\\uDC00\"", "lone leading surrogate in hex escape at line 1 column 7"},
        ErrorCase{"\"\\uD800\"", "unexpected end of hex escape at line 1 column 8"},
        ErrorCase{"\"\\uD800\\n\"", "unexpected end of hex escape at line 1 column 9"},
        ErrorCase{"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\uD800\\uD800\"", "lone leading surrogate in hex escape at line 1 column 13"},
        ErrorCase{"\"\\uD800", "EOF while parsing a string at line 1 column 7"},
        ErrorCase{"\"\\uD800\\", "EOF while parsing a string at line 1 column 8"},
        ErrorCase{"{\"k\x02\":1}",
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
        // Bytes that are not UTF-8 (callers normally refuse them first) never crash.
        ErrorCase{"\"\xff\"", "invalid unicode code point at line 1 column 3"},
        ErrorCase{"[\"a\xC3\"]", "invalid unicode code point at line 1 column 5"},
        ErrorCase{"\"\xED\xA0\x80\"", "invalid unicode code point at line 1 column 5"},
        ErrorCase{"\xC3\xA9", "expected value at line 1 column 1"}));

// 127 levels of arrays and objects are read; the 128th is refused at its bracket.
struct Nesting {
    std::vector<std::string> opens;  // cycled level by level
    std::vector<std::string> closes;

    std::string text(std::size_t levels) const {
        std::string out;
        for (std::size_t i = 0; i < levels; ++i) out += opens[i % opens.size()];
        out += "1";
        for (std::size_t i = levels; i-- > 0;) out += closes[i % closes.size()];
        return out;
    }
    // Column of the opening bracket of level `level` (counted from 1).
    std::size_t column_of(std::size_t level) const { return text(level - 1).find('1') + 1; }
};

class NestingTest : public testing::TestWithParam<Nesting> {};

TEST_P(NestingTest, LimitIs127Levels) {
    const Nesting& nesting = GetParam();
    EXPECT_TRUE(parse(nesting.text(127)).has_value());
    const std::string expected = "recursion limit exceeded at line 1 column " + std::to_string(nesting.column_of(128));
    EXPECT_EQ(error_of(nesting.text(128)), expected);
    EXPECT_EQ(error_of(nesting.text(1000)), expected);
}

INSTANTIATE_TEST_SUITE_P(Containers, NestingTest,
                         testing::Values(Nesting{{"["}, {"]"}}, Nesting{{"{\"k\":"}, {"}"}},
                                         Nesting{{"[", "{\"a\":"}, {"]", "}"}}, Nesting{{"[ ", "[0,"}, {"]", "]"}}));

TEST(ParseNesting, ColumnOfTheRefusedBracket) {
    EXPECT_EQ(error_of(std::string(128, '[')), "recursion limit exceeded at line 1 column 128");
}

TEST(ParseNesting, SiblingsDoNotAddUp) {
    const std::string inner = std::string(126, '[') + std::string(126, ']');
    EXPECT_TRUE(parse("[" + inner + "," + inner + "]").has_value());
}

// Number classes: non-negative integers that fit are unsigned, negative ones that fit
// are signed, everything else is a double.
TEST(ParseNumbers, IntegerClasses) {
    struct Case {
        const char* text;
        Value::value_t type;
        const char* written;
    };
    const Case cases[] = {
        {"0", Value::value_t::number_unsigned, "0"},
        {"7800", Value::value_t::number_unsigned, "7800"},
        {"1234567890123456789", Value::value_t::number_unsigned, "1234567890123456789"},
        {"9999999999999999999", Value::value_t::number_unsigned, "9999999999999999999"},
        {"12345678901234567890", Value::value_t::number_unsigned, "12345678901234567890"},
        {"18446744073709551615", Value::value_t::number_unsigned, "18446744073709551615"},
        {"[18446744073709551615]", Value::value_t::array, "[18446744073709551615]"},
        {"99999999999999999999", Value::value_t::number_float, "1e20"},
        {"-9999999999999999999", Value::value_t::number_float, "-1e19"},
        {"18446744073709551616", Value::value_t::number_float, "1.8446744073709552e19"},
        {"-1", Value::value_t::number_integer, "-1"},
        {"-9223372036854775808", Value::value_t::number_integer, "-9223372036854775808"},
        {"-9223372036854775809", Value::value_t::number_float, "-9.223372036854776e18"},
        {"-18446744073709551616", Value::value_t::number_float, "-1.8446744073709552e19"},
        {"123456789012345678901234567890", Value::value_t::number_float, "1.2345678901234568e29"},
        {"1.0", Value::value_t::number_float, "1.0"},
        {"1e2", Value::value_t::number_float, "100.0"},
        {"1E2", Value::value_t::number_float, "100.0"},
        {"1e+2", Value::value_t::number_float, "100.0"},
        {"25e-1", Value::value_t::number_float, "2.5"},
        {"0.5", Value::value_t::number_float, "0.5"},
        {"-0.0", Value::value_t::number_float, "-0.0"},
        {"-0", Value::value_t::number_float, "-0.0"},
        {"0e5", Value::value_t::number_float, "0.0"},
        {"1e-400", Value::value_t::number_float, "0.0"},
        {"-1e-400", Value::value_t::number_float, "-0.0"},
        {"0e21474836480", Value::value_t::number_float, "0.0"},
        {"1e-21474836480", Value::value_t::number_float, "0.0"},
        {"-1e-21474836480", Value::value_t::number_float, "-0.0"},
        {"5e-324", Value::value_t::number_float, "5e-324"},
        {"1.7976931348623157e308", Value::value_t::number_float, "1.7976931348623157e308"},
        {"12345678901234567890123.5e-3", Value::value_t::number_float, "1.2345678901234567e19"},
    };
    for (const auto& c : cases) {
        auto value = parse(c.text);
        ASSERT_TRUE(value.has_value()) << c.text << ": " << value.error().to_string();
        EXPECT_EQ(value->type(), c.type) << c.text;
        EXPECT_EQ(to_string(*value), c.written) << c.text;
    }
    EXPECT_TRUE(std::signbit(parse("-0")->get<double>()));
    EXPECT_EQ(parse("-9223372036854775808")->get<std::int64_t>(), std::numeric_limits<std::int64_t>::min());
}

TEST(ParseNumbers, DoublesAreCorrectlyRounded) {
    EXPECT_EQ(parse("0.1")->get<double>(), 0.1);
    EXPECT_EQ(parse("2.2250738585072011e-308")->get<double>(), 2.2250738585072011e-308);
    EXPECT_EQ(parse("9007199254740993")->get<std::uint64_t>(), 9007199254740993u);
    EXPECT_EQ(parse("9007199254740993.0")->get<double>(), 9007199254740992.0);
    EXPECT_EQ(parse("0.30000000000000004")->get<double>(), 0.1 + 0.2);
}

TEST(ParseValues, BuildsEveryKind) {
    auto value = parse(" {\"s\":\"x\",\"n\":null,\"t\":true,\"f\":false,\"a\":[1,[],{}],\"o\":{\"k\":-2}} ");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(to_string(*value), "{\"a\":[1,[],{}],\"f\":false,\"n\":null,\"o\":{\"k\":-2},\"s\":\"x\",\"t\":true}");
    EXPECT_TRUE((*value)["n"].is_null());
    EXPECT_TRUE((*value)["a"][1].is_array());
    EXPECT_TRUE((*value)["a"][2].is_object());
}

TEST(ParseValues, WhiteSpaceAroundEveryToken) {
    auto value = parse("\r\n\t [ 1 , { \"a\" : \"b\" } ]\n\r\t ");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(to_string(*value), "[1,{\"a\":\"b\"}]");
}

TEST(ParseValues, RepeatedKeyKeepsTheLast) {
    auto value = parse("{\"a\":1,\"b\":2,\"a\":{\"x\":3}}");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(to_string(*value), "{\"a\":{\"x\":3},\"b\":2}");
}

TEST(ParseStrings, Escapes) {
    struct Case {
        const char* text;
        std::string value;
    };
    const Case cases[] = {
        {R"("\"\\\/\b\f\n\r\t")", "\"\\/\b\f\n\r\t"},
        {R"("\u0041\u00e9\u20AC")", "A\xC3\xA9\xE2\x82\xAC"},
        {R"("\u0000")", std::string(1, '\0')},
        {R"("\uD83D\uDE00")", "\xF0\x9F\x98\x80"},
        {R"("\udbff\udfff")", "\xF4\x8F\xBF\xBF"},
        {R"("a\u0062c")", "abc"},
        {"\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F\"", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\x7F"},
        {R"("")", ""},
    };
    for (const auto& c : cases) {
        auto value = parse(c.text);
        ASSERT_TRUE(value.has_value()) << c.text << ": " << value.error().to_string();
        ASSERT_TRUE(value->is_string());
        EXPECT_EQ(value->get<std::string>(), c.value) << c.text;
    }
}

// Long strings are scanned a word at a time: the end of a plain run must be found at
// every offset, whatever it is.
TEST(ParseStrings, RunEndsAtEveryOffsetOfLongStrings) {
    for (std::size_t offset = 0; offset < 40; ++offset) {
        const std::string before(offset, 'a');
        const std::string after(40 - offset, 'b');
        EXPECT_EQ(parse("\"" + before + "\\n" + after + "\"")->get<std::string>(), before + "\n" + after);
        EXPECT_EQ(parse("\"" + before + "\"").value().get<std::string>(), before);
        EXPECT_EQ(error_of("\"" + before + "\x1f" + after + "\""),
                  "control character (\\u0000-\\u001F) found while parsing a string at line 1 column " +
                      std::to_string(offset + 2));
        EXPECT_EQ(error_of("\"" + before + "\xC3\xA9" + after + "\"x"), "trailing characters at line 1 column 45");
        EXPECT_EQ(error_of("\"" + before + "\xA9" + after + "\""), "invalid unicode code point at line 1 column 43");
        EXPECT_EQ(error_of("\"" + before + after), "EOF while parsing a string at line 1 column 41");
    }
}

// A byte of 0x80 or above anywhere in a string, right before its closing quote included,
// is checked, whatever block of the scan it falls in and however much text follows.
TEST(ParseStrings, HighBytesAreSeenInEveryBlockOfAString) {
    for (std::size_t length = 0; length <= 40; ++length) {
        for (const std::size_t tail : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u}) {
            const std::string after = "]" + std::string(tail, ' ');
            for (std::size_t at = 0; at <= length; ++at) {
                std::string lone(length, 'a');
                lone.insert(at, "\xA9");
                std::string whole(length, 'a');
                whole.insert(at, "\xC3\xA9");
                EXPECT_EQ(error_of("[\"" + lone + "\"" + after),
                          "invalid unicode code point at line 1 column " + std::to_string(lone.size() + 3))
                    << length << " " << tail << " " << at;
                auto value = parse("[\"" + whole + "\"" + after);
                ASSERT_TRUE(value.has_value()) << length << " " << tail << " " << at;
                EXPECT_EQ((*value)[0], whole);
            }
        }
    }
}

TEST(ParseStrings, EscapedKeysAreUnescaped) {
    auto value = parse(R"({"k\u0065y":1,"key":2})");
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(to_string(*value), "{\"key\":2}");
}

TEST(ParseErrors, TheFirstFaultIsReported) {
    // A nested fault ends the reading at once: nothing after it is looked at.
    EXPECT_EQ(error_of("[[1,]x"), "trailing comma at line 1 column 5");
    EXPECT_EQ(error_of("{\"a\":[\"\\q\"]}}"), "invalid escape at line 1 column 9");
}

TEST(ParseErrors, RequestSizedLine) {
    const std::string line =
        R"({"jsonrpc":"2.0","id":17,"method":"gossip.inject","params":{"topic":"data","key":"sensor.)"
        R"(temperature","payload":{"celsius":21.5,"ok":true,"tags":["a","b"]}}})";
    auto value = parse(line);
    ASSERT_TRUE(value.has_value());
    EXPECT_EQ(to_string(*value),
              R"({"id":17,"jsonrpc":"2.0","method":"gossip.inject","params":{"key":"sensor.)"
              R"(temperature","payload":{"celsius":21.5,"ok":true,"tags":["a","b"]},"topic":"data"}})");
    EXPECT_EQ(error_of(line + "\n"), "parsed: " + to_string(*value));
    EXPECT_EQ(error_of(line + "}"), "trailing characters at line 1 column " + std::to_string(line.size() + 1));
}

}  // namespace
}  // namespace quillfern::json
