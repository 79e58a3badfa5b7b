// json::write: the compact text, its string escapes and number layout, and round trips
// through json::parse.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

std::string written_string(std::string_view s) {
    std::string out;
    write_string(out, s);
    return out;
}

std::string written_double(double d) {
    std::string out;
    write_double(out, d);
    return out;
}

TEST(WriteString, EveryEscape) {
    struct Case {
        std::string raw;
        std::string written;
    };
    const Case cases[] = {
        {"\"", R"("\"")"},
        {"\\", R"("\\")"},
        {"\b", R"("\b")"},
        {"\f", R"("\f")"},
        {"\n", R"("\n")"},
        {"\r", R"("\r")"},
        {"\t", R"("\t")"},
        {std::string(1, '\0'), R"("\u0000")"},
        {"\x01", R"("\u0001")"},
        {"\x0b", R"("\u000b")"},
        {"\x1a", R"("\u001a")"},
        {"\x1f", R"("\u001f")"},
        {"/", R"("/")"},
        {" ", R"(" ")"},
        {"\x7f", "\"\x7f\""},
        {"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80", "\"\xC3\xA9\xE2\x80\xA8\xF0\x9F\x98\x80\""},
        {"\xff\xC3", "\"\xff\xC3\""},  // not UTF-8: written as it is
        {"", R"("")"},
        {"plain text", R"("plain text")"},
        {"a\"b\\c\nd\x02"
         "e",
         R"("a\"b\\c\nd\u0002e")"},
    };
    for (const auto& c : cases) EXPECT_EQ(written_string(c.raw), c.written) << testing::PrintToString(c.raw);
}

TEST(WriteString, AllControlBytes) {
    std::string raw;
    for (int b = 0; b < 0x20; ++b) raw.push_back(static_cast<char>(b));
    EXPECT_EQ(written_string(raw),
              R"("\u0000\u0001\u0002\u0003\u0004\u0005\u0006\u0007\b\t\n\u000b\f\r\u000e\u000f)"
              R"(\u0010\u0011\u0012\u0013\u0014\u0015\u0016\u0017\u0018\u0019\u001a\u001b\u001c\u001d\u001e\u001f")");
}

// Long strings are scanned a word at a time: an escape must be found at every offset.
TEST(WriteString, EscapesAtEveryOffsetOfLongStrings) {
    for (char special : {'"', '\\', '\n', '\x01', '\x1f', '\0'}) {
        for (std::size_t offset = 0; offset < 40; ++offset) {
            std::string raw(40, 'a');
            raw[offset] = special;
            raw[39 - offset / 2] = '\xC3';  // a high byte nearby changes nothing
            std::string expected = "\"";
            for (char c : raw) {
                if (c == special) {
                    expected += c == '"'      ? "\\\""
                                : c == '\\'   ? "\\\\"
                                : c == '\n'   ? "\\n"
                                : c == '\x01' ? "\\u0001"
                                : c == '\x1f' ? "\\u001f"
                                              : "\\u0000";
                } else {
                    expected += c;
                }
            }
            expected += '"';
            ASSERT_EQ(written_string(raw), expected) << "offset " << offset;
        }
    }
}

TEST(WriteString, AppendsToWhatIsThere) {
    std::string out = "x=";
    write_string(out, "a\n");
    EXPECT_EQ(out, "x=\"a\\n\"");
}

TEST(WriteDouble, Layout) {
    struct Case {
        double value;
        const char* written;
    };
    const Case cases[] = {
        {0.0, "0.0"},
        {-0.0, "-0.0"},
        {1.0, "1.0"},
        {100.0, "100.0"},
        {7800.0, "7800.0"},
        {-2.5, "-2.5"},
        {0.1, "0.1"},
        {123.456, "123.456"},
        {1e15, "1000000000000000.0"},
        {1234567890123456.0, "1234567890123456.0"},
        {1e16, "1e16"},
        {1.5e16, "1.5e16"},
        {12345678901234567.0, "1.2345678901234568e16"},
        {1.2345678901234568e20, "1.2345678901234568e20"},
        {0.001, "0.001"},
        {0.0001, "0.0001"},
        {0.00001, "0.00001"},
        {0.000025, "0.000025"},
        {0.000001, "1e-6"},
        {1e-7, "1e-7"},
        {1.5e-7, "1.5e-7"},
        {5e-324, "5e-324"},
        {std::numeric_limits<double>::max(), "1.7976931348623157e308"},
        {std::numeric_limits<double>::min(), "2.2250738585072014e-308"},
        {-1e100, "-1e100"},
        {0.30000000000000004, "0.30000000000000004"},
    };
    for (const auto& c : cases) EXPECT_EQ(written_double(c.value), c.written) << c.written;
}

TEST(WriteDouble, NonFiniteIsNull) {
    EXPECT_EQ(written_double(std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(written_double(-std::numeric_limits<double>::infinity()), "null");
    EXPECT_EQ(written_double(std::numeric_limits<double>::quiet_NaN()), "null");
    EXPECT_EQ(to_string(Value::array({1, std::nan(""), 2})), "[1,null,2]");
}

TEST(WriteValue, CompactWithSortedKeys) {
    Value value = Value::object();
    value["b"] = Value::array({1, -2, 2.5, "x", true, false, nullptr});
    value["a"] = Value::object();
    value["B"] = std::numeric_limits<std::uint64_t>::max();
    value["_"] = std::numeric_limits<std::int64_t>::min();
    value["\xC3\xA9"] = Value::array();
    EXPECT_EQ(to_string(value),
              "{\"B\":18446744073709551615,\"_\":-9223372036854775808,\"a\":{},"
              "\"b\":[1,-2,2.5,\"x\",true,false,null],\"\xC3\xA9\":[]}");
}

TEST(WriteValue, KeysAreEscaped) {
    Value value = Value::object();
    value["a\"\n"] = 1;
    EXPECT_EQ(to_string(value), R"({"a\"\n":1})");
}

TEST(WriteValue, StringsThatAreNotUtf8DoNotThrow) {
    Value value = Value::object();
    value["k"] = std::string("\xff\xfe");
    EXPECT_EQ(to_string(value), "{\"k\":\"\xff\xfe\"}");
}

TEST(WriteValue, AppendsToWhatIsThere) {
    std::string out = "reply ";
    write(out, Value::array({1}));
    EXPECT_EQ(out, "reply [1]");
}

// Canonical texts come back unchanged through parse and write.
TEST(RoundTrip, CanonicalTexts) {
    const char* texts[] = {
        "null",
        "true",
        "false",
        "0",
        "-1",
        "18446744073709551615",
        "-9223372036854775808",
        "\"\"",
        "[]",
        "{}",
        "0.5",
        "-0.0",
        "1e16",
        "1e-7",
        "1000000000000000.0",
        "0.00001",
        "100.0",
        "1.2345678901234568e20",
        "5e-324",
        "1.7976931348623157e308",
        "[[[[]]]]",
        R"({"a":[1,-2,3.5,"x",true,false,null],"b":{"c":{}}})",
        R"("\"\\\b\f\n\r\t\u0000\u001f/)"
        "\x7f\xC3\xA9\"",
        R"({"created_at_epoch":1,"expires_at_epoch":601,"key":"k","nonce":"n","origin_gate":"g",)"
        R"("payload":{"v":[1,2]},"topic":"data","ttl":8,"version":1})",
    };
    for (const char* text : texts) {
        auto value = parse(text);
        ASSERT_TRUE(value.has_value()) << text << ": " << value.error().to_string();
        EXPECT_EQ(to_string(*value), text);
    }
}

TEST(RoundTrip, ValuesWrittenByOthersAreNormalised) {
    struct Case {
        const char* text;
        const char* written;
    };
    const Case cases[] = {
        {" { \"b\" : 1 , \"a\" : [ ] } ", R"({"a":[],"b":1})"},
        {"1E2", "100.0"},
        {"0.10", "0.1"},
        {"1e+16", "1e16"},
        {"-0", "-0.0"},
        {R"("\u00e9\/")", "\"\xC3\xA9/\""},
        {R"("\uD83D\uDE00")", "\"\xF0\x9F\x98\x80\""},
    };
    for (const auto& c : cases) EXPECT_EQ(to_string(parse(c.text).value()), c.written) << c.text;
}

// Every finite double is written in a text that reads back to the very same bits.
TEST(RoundTrip, DoublesReadBackIdentically) {
    std::mt19937_64 random(20240611);
    int checked = 0;
    while (checked < 20000) {
        const std::uint64_t bits = random();
        double d;
        std::memcpy(&d, &bits, sizeof d);
        if (!std::isfinite(d)) continue;
        ++checked;
        const std::string text = written_double(d);
        auto value = parse(text);
        ASSERT_TRUE(value.has_value()) << text;
        ASSERT_TRUE(value->is_number_float()) << text;
        const double back = value->get<double>();
        ASSERT_EQ(std::memcmp(&back, &d, sizeof d), 0) << text;
    }
}

TEST(RoundTrip, IntegersReadBackWithTheirClass) {
    std::mt19937_64 random(7800);
    for (int i = 0; i < 2000; ++i) {
        const std::uint64_t u = random();
        const auto s = static_cast<std::int64_t>(u | (std::uint64_t{1} << 63));  // negative
        auto unsigned_value = parse(to_string(Value(u)));
        auto signed_value = parse(to_string(Value(s)));
        ASSERT_TRUE(unsigned_value->is_number_unsigned());
        ASSERT_EQ(unsigned_value->get<std::uint64_t>(), u);
        ASSERT_TRUE(signed_value->is_number_integer() && !signed_value->is_number_unsigned());
        ASSERT_EQ(signed_value->get<std::int64_t>(), s);
    }
}

}  // namespace
}  // namespace quillfern::json
