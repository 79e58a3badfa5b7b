#include "quillfern/text.hpp"
#include "quillfern/io_error.hpp"

#include <cerrno>

#include <asio/error.hpp>

#include <gtest/gtest.h>

namespace quillfern::text {
namespace {

TEST(Utf8, AcceptsWellFormedAndRefusesMalformed) {
    struct Case {
        std::string bytes;
        bool valid;
    };
    const Case cases[] = {
        {"", true},
        {"plain ascii text longer than eight bytes", true},
        {"\xC2\xA0", true},           // U+00A0
        {"\xE2\x80\xA8", true},       // U+2028
        {"\xF4\x8F\xBF\xBF", true},   // U+10FFFF
        {"\xC0\xAF", false},          // overlong '/'
        {"\xE0\x80\xAF", false},      // overlong, three bytes
        {"\xED\xA0\x80", false},      // surrogate U+D800
        {"\xF4\x90\x80\x80", false},  // above U+10FFFF
        {"\xFF", false},
        {"abc\xE2\x82", false},   // truncated at the end
        {"\x80", false},          // lone continuation byte
        {"abcdefgh\xC3", false},  // truncated after the ASCII fast path
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_valid_utf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
    }
}

TEST(Trim, RemovesUnicodeWhiteSpaceOnly) {
    struct Case {
        std::string in, out;
    };
    const Case cases[] = {
        {"  a b \t\r\n", "a b"},
        {"\xC2\xA0x\xE2\x80\xA8", "x"},      // NBSP and LINE SEPARATOR are white space
        {"\xE3\x80\x80x\xE3\x80\x80", "x"},  // IDEOGRAPHIC SPACE
        {"\xC2\x85x\x0B\x0C", "x"},          // NEL, VT, FF
        {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // ZERO WIDTH SPACE is not White_Space
        {"\xC3\xA9", "\xC3\xA9"},
        {"   ", ""},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(trim(c.in), c.out) << testing::PrintToString(c.in);
    }
}

TEST(Integers, ParseWithRustTexts) {
    struct Case {
        std::string in;
        std::string u64;  // value or error text
        std::string i64;
    };
    const Case cases[] = {
        {"0", "0", "0"},
        {"+250", "250", "250"},
        {"18446744073709551615", "18446744073709551615", "number too large to fit in target type"},
        {"18446744073709551616", "number too large to fit in target type", "number too large to fit in target type"},
        {"-1", "invalid digit found in string", "-1"},
        {"-9223372036854775808", "invalid digit found in string", "-9223372036854775808"},
        {"-9223372036854775809", "invalid digit found in string", "number too small to fit in target type"},
        {"", "cannot parse integer from empty string", "cannot parse integer from empty string"},
        {"+", "invalid digit found in string", "invalid digit found in string"},
        {"-", "invalid digit found in string", "invalid digit found in string"},
        {" 3", "invalid digit found in string", "invalid digit found in string"},
        {"3 ", "invalid digit found in string", "invalid digit found in string"},
        {"++3", "invalid digit found in string", "invalid digit found in string"},
        {"1e3", "invalid digit found in string", "invalid digit found in string"},
        // The first fault met decides: an overflow before a bad digit is an overflow.
        {"99999999999999999999x", "number too large to fit in target type", "number too large to fit in target type"},
        {"-99999999999999999999x", "invalid digit found in string", "number too small to fit in target type"},
    };
    for (const auto& c : cases) {
        auto u = parse_u64(c.in);
        EXPECT_EQ(u ? std::to_string(*u) : u.error(), c.u64) << c.in;
        auto i = parse_i64(c.in);
        EXPECT_EQ(i ? std::to_string(*i) : i.error(), c.i64) << c.in;
    }
}

TEST(IoErrorText, OsErrorsCarryTheirNumber) {
    EXPECT_EQ(IoError::from_os(ECONNREFUSED).message(), "Connection refused (os error 111)");
    EXPECT_EQ(IoError::from_os(EADDRINUSE).message(), "Address already in use (os error 98)");
    EXPECT_EQ(IoError::from_error_code(std::make_error_code(std::errc::not_a_directory)).message(),
              "Not a directory (os error 20)");
    // asio's own system category carries errno values too.
    EXPECT_EQ(IoError::from_error_code(asio::error::bad_descriptor).message(), "Bad file descriptor (os error 9)");
}

}  // namespace
}  // namespace quillfern::text
