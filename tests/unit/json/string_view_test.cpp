// A string read as a view: the same text, end and faults as the decoding read, taken
// from the text itself only when nothing in it needed decoding.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

struct Case {
    const char* name;
    std::string body;  // after the opening quote
    bool in_text;      // the view points into the text
};

class ReadStringViewTest : public ::testing::TestWithParam<Case> {};

TEST_P(ReadStringViewTest, AgreesWithTheDecodingRead) {
    const Case& c = GetParam();
    const std::string text = "\"" + c.body;

    Reader decoding(text);
    decoding.advance();
    std::string decoded;
    const bool decoded_ok = decoding.read_string_into(decoded);

    Reader viewing(text);
    viewing.advance();
    std::string scratch = "left over";
    const std::string_view view = viewing.read_string_view(scratch);

    ASSERT_EQ(viewing.failed(), !decoded_ok);
    if (decoded_ok) {
        EXPECT_EQ(view, decoded);
        EXPECT_EQ(viewing.offset(), decoding.offset());
        const bool points_into_text = view.data() >= text.data() && view.data() <= text.data() + text.size();
        EXPECT_EQ(points_into_text, c.in_text);
        EXPECT_EQ(viewing.peek_token(), decoding.peek_token());
    } else {
        EXPECT_TRUE(view.empty());
        EXPECT_EQ(viewing.error().to_string(), decoding.error().to_string());
    }
}

INSTANTIATE_TEST_SUITE_P(
    Strings, ReadStringViewTest,
    ::testing::Values(Case{"Plain", "method\":1", true}, Case{"Empty", "\"", true},
                      Case{"LongPlain", std::string(40, 'k') + "\" ,", true},
                      Case{"ValidUtf8", "gr\xC3\xBC\xC3\x9F" + std::string(20, 'e') + "\"", true},
                      Case{"EscapedQuote", "a\\\"b\"", false}, Case{"UnicodeEscape", "caf\\u00e9\"", false},
                      Case{"EscapeAfterALongRun", std::string(37, 'x') + "\\n\"", false},
                      Case{"InvalidUtf8",
                           "a\xFF"
                           "b\"",
                           false},
                      Case{"InvalidUtf8AfterEscape", "\\t\xC3\"", false}, Case{"EndsInside", "method", false},
                      Case{"EndsInsideALongRun", std::string(33, 'm'), false},
                      Case{"ControlCharacter", "a\x01\"", false}, Case{"BadEscape", "a\\qb\"", false},
                      Case{"LoneSurrogate", "\\ud800\"", false}),
    [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillfern::json
