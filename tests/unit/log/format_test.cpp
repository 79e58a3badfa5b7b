// The layout of a line, its colours, the timestamp and the forms of field values.
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/log.hpp"

namespace quillfern::log {
namespace {

constexpr std::string_view kStamp = "2026-03-01T08:15:42.061207Z";

std::string line(Level level, std::string_view target, std::string_view message,
                 std::initializer_list<Field> fields = {}, bool colour = false) {
    std::string out;
    format_line(out, level, target, message, fields, colour, kStamp);
    return out;
}

TEST(FormatLine, StartUpEventWithoutColours) {
    EXPECT_EQ(line(Level::Info, "quillfern_server", "quillFern started — fern spreads, kit validates",
                   {text("node_id", "gate-7")}),
              "2026-03-01T08:15:42.061207Z  INFO quillfern_server: quillFern started — fern spreads, kit validates "
              "node_id=gate-7\n");
}

TEST(FormatLine, LevelIsRightAlignedInFiveColumns) {
    struct Case {
        Level level;
        std::string_view expected;
    };
    for (const Case& c : {Case{Level::Trace, "2026-03-01T08:15:42.061207Z TRACE t: m\n"},
                          Case{Level::Debug, "2026-03-01T08:15:42.061207Z DEBUG t: m\n"},
                          Case{Level::Info, "2026-03-01T08:15:42.061207Z  INFO t: m\n"},
                          Case{Level::Warn, "2026-03-01T08:15:42.061207Z  WARN t: m\n"},
                          Case{Level::Error, "2026-03-01T08:15:42.061207Z ERROR t: m\n"}}) {
        EXPECT_EQ(line(c.level, "t", "m"), c.expected);
    }
}

TEST(FormatLine, FieldsFollowInOrderAndBookkeepingFieldsAreDropped) {
    const std::vector<std::string> peers = {"10.0.0.1:7800", "gate-b:7800"};
    EXPECT_EQ(line(Level::Warn, "quillfern_server::spread", "Gossip spread failed (TCP + relay)",
                   {text("peer", "10.0.0.1:7800"), text("log.target", "x"), number("count", 2), quoted("source", "env"),
                    list("peers", peers), variant("result", "Duplicate"), text("log.line", "7")}),
              "2026-03-01T08:15:42.061207Z  WARN quillfern_server::spread: Gossip spread failed (TCP + relay) "
              "peer=10.0.0.1:7800 count=2 source=\"env\" peers=[\"10.0.0.1:7800\", \"gate-b:7800\"] "
              "result=Duplicate\n");
}

TEST(FormatLine, AppendsToWhatTheBufferHolds) {
    std::string out = "x";
    format_line(out, Level::Info, "t", "m", {}, false, kStamp);
    EXPECT_EQ(out, "x2026-03-01T08:15:42.061207Z  INFO t: m\n");
}

TEST(FormatLine, ColoursPaintEachPieceAndLeaveMessageAndValuesPlain) {
    EXPECT_EQ(
        line(Level::Info, "quillfern_server", "quillFern started", {text("node_id", "gate-7"), number("n", 3)}, true),
        "\x1b[2m2026-03-01T08:15:42.061207Z\x1b[0m \x1b[32m INFO\x1b[0m "
        "\x1b[2mquillfern_server\x1b[0m\x1b[2m:\x1b[0m quillFern started "
        "\x1b[3mnode_id\x1b[0m\x1b[2m=\x1b[0mgate-7 \x1b[3mn\x1b[0m\x1b[2m=\x1b[0m3\n");
}

TEST(FormatLine, EachLevelHasItsColour) {
    struct Case {
        Level level;
        std::string_view painted;
    };
    for (const Case& c : {Case{Level::Trace, "\x1b[35mTRACE\x1b[0m"}, Case{Level::Debug, "\x1b[34mDEBUG\x1b[0m"},
                          Case{Level::Info, "\x1b[32m INFO\x1b[0m"}, Case{Level::Warn, "\x1b[33m WARN\x1b[0m"},
                          Case{Level::Error, "\x1b[31mERROR\x1b[0m"}}) {
        std::string expected = "\x1b[2m2026-03-01T08:15:42.061207Z\x1b[0m ";
        expected += c.painted;
        expected += " \x1b[2mt\x1b[0m\x1b[2m:\x1b[0m m\n";
        EXPECT_EQ(line(c.level, "t", "m", {}, true), expected);
    }
}

TEST(FormatLine, MessageEscapesApplyWithColoursOn) {
    EXPECT_EQ(line(Level::Error, "t", "a\x1b[31mb", {}, true),
              "\x1b[2m2026-03-01T08:15:42.061207Z\x1b[0m \x1b[31mERROR\x1b[0m "
              "\x1b[2mt\x1b[0m\x1b[2m:\x1b[0m a\\x1b[31mb\n");
}

// Every text that goes into a message, a text field or a variant field.
struct EscapeCase {
    std::string_view raw;
    std::string_view written;
};

void PrintTo(const EscapeCase& c, std::ostream* os) { *os << ::testing::PrintToString(std::string(c.raw)); }

class Escaping : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(Escaping, MessageTextAndVariantValuesAreEscapedAlike) {
    const EscapeCase& c = GetParam();
    std::string prefix = "2026-03-01T08:15:42.061207Z  INFO t: ";
    EXPECT_EQ(line(Level::Info, "t", c.raw), prefix + std::string(c.written) + "\n");
    EXPECT_EQ(line(Level::Info, "t", "m", {text("k", c.raw)}), prefix + "m k=" + std::string(c.written) + "\n");
    EXPECT_EQ(line(Level::Info, "t", "m", {variant("k", c.raw)}), prefix + "m k=" + std::string(c.written) + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Escaping,
    ::testing::Values(EscapeCase{"plain text", "plain text"}, EscapeCase{"", ""}, EscapeCase{"\x1b[2J", "\\x1b[2J"},
                      EscapeCase{"a\x07"
                                 "b",
                                 "a\\x07b"},
                      EscapeCase{"a\x08"
                                 "b",
                                 "a\\x08b"},
                      EscapeCase{"a\x0c"
                                 "b",
                                 "a\\x0cb"},
                      EscapeCase{"a\x7f"
                                 "b",
                                 "a\\x7fb"},
                      EscapeCase{"one\ntwo", "one\\ntwo"}, EscapeCase{"one\r\ntwo", "one\\r\\ntwo"},
                      EscapeCase{"forged\n2026-03-01T08:15:42.061207Z ERROR x: y",
                                 "forged\\n2026-03-01T08:15:42.061207Z ERROR x: y"},
                      EscapeCase{"tab\tstays", "tab\tstays"},
                      EscapeCase{"\x01\x1f"
                                 "\"\\",
                                 "\\u{1}\\u{1f}\"\\"},
                      EscapeCase{"vertical\x0btab", "vertical\\u{b}tab"},
                      // Separators that line-splitting tools break on.
                      EscapeCase{"fs\x1cgs\x1drs\x1eus\x1f", "fs\\u{1c}gs\\u{1d}rs\\u{1e}us\\u{1f}"},
                      EscapeCase{"so\x0esi\x0f"
                                 "can\x18sub\x1a",
                                 "so\\u{e}si\\u{f}can\\u{18}sub\\u{1a}"},
                      EscapeCase{std::string_view("nul\0end", 7), "nul\\0end"},
                      EscapeCase{"gate\u2028"
                                 "2026-03-01T08:15:42.061207Z ERROR x: y",
                                 "gate\\u{2028}2026-03-01T08:15:42.061207Z ERROR x: y"},
                      EscapeCase{"para\u2029graph", "para\\u{2029}graph"},
                      // Their neighbours are printable or format characters and stay.
                      EscapeCase{"\u2027\u202a\u2030", "\u2027\u202a\u2030"}, EscapeCase{"\u0080", "\\u{80}"},
                      EscapeCase{"csi\u009b", "csi\\u{9b}"}, EscapeCase{"\u009f", "\\u{9f}"},
                      EscapeCase{"\u00a0\u00ff", "\u00a0\u00ff"}, EscapeCase{"fern — kit 中", "fern — kit 中"},
                      EscapeCase{"bad\xff"
                                 "byte",
                                 "bad\uFFFDbyte"},
                      EscapeCase{"cut\xe2\x80", "cut\uFFFD"}, EscapeCase{"cut\xe2\x80z", "cut\uFFFDz"},
                      EscapeCase{"surrogate\xed\xa0\x80", "surrogate\uFFFD\uFFFD\uFFFD"},
                      EscapeCase{"overlong\xc0\xaf", "overlong\uFFFD\uFFFD"}));

TEST(FieldForms, QuotedTextUsesDebugStringEscapes) {
    struct Case {
        std::string_view raw;
        std::string_view written;
    };
    for (const Case& c :
         {Case{"env", "\"env\""}, Case{"", "\"\""}, Case{"say \"hi\"", "\"say \\\"hi\\\"\""},
          Case{"back\\slash", "\"back\\\\slash\""}, Case{"it's", "\"it's\""}, Case{"t\tr\rn\n", "\"t\\tr\\rn\\n\""},
          Case{std::string_view("nul\0end", 7), "\"nul\\0end\""}, Case{"\x01\x1b\x7f", "\"\\u{1}\\u{1b}\\u{7f}\""},
          Case{"\u0085\u009b", "\"\\u{85}\\u{9b}\""}, Case{"nb\u00a0sp", "\"nb\\u{a0}sp\""},
          Case{"zw\u200bsp\u2028", "\"zw\\u{200b}sp\\u{2028}\""}, Case{"\ufeff\ue000", "\"\\u{feff}\\u{e000}\""},
          Case{"é — 中 😀", "\"é — 中 😀\""}, Case{"bad\xff", "\"bad\uFFFD\""}}) {
        EXPECT_EQ(line(Level::Debug, "t", "m", {quoted("source", c.raw)}),
                  "2026-03-01T08:15:42.061207Z DEBUG t: m source=" + std::string(c.written) + "\n")
            << c.raw;
    }
}

TEST(FieldForms, ListItemsAreQuotedAndSeparated) {
    const std::vector<std::string> none;
    const std::vector<std::string> one = {"10.0.0.1:7800"};
    const std::vector<std::string> odd = {"a\"b", "c\nd", ""};
    std::string prefix = "2026-03-01T08:15:42.061207Z DEBUG t: m peers=";
    EXPECT_EQ(line(Level::Debug, "t", "m", {list("peers", none)}), prefix + "[]\n");
    EXPECT_EQ(line(Level::Debug, "t", "m", {list("peers", one)}), prefix + "[\"10.0.0.1:7800\"]\n");
    EXPECT_EQ(line(Level::Debug, "t", "m", {list("peers", odd)}), prefix + "[\"a\\\"b\", \"c\\nd\", \"\"]\n");
}

TEST(FieldForms, NumbersAreBareDecimals) {
    EXPECT_EQ(line(Level::Debug, "quillfern_server::spread", "Discovered peers from QUILLFERN_PEERS",
                   {number("count", 2), quoted("source", "env")}),
              "2026-03-01T08:15:42.061207Z DEBUG quillfern_server::spread: Discovered peers from QUILLFERN_PEERS "
              "count=2 source=\"env\"\n");
    EXPECT_EQ(line(Level::Info, "t", "m", {number("a", 0), number("b", std::numeric_limits<std::uint64_t>::max())}),
              "2026-03-01T08:15:42.061207Z  INFO t: m a=0 b=18446744073709551615\n");
}

TEST(Timestamp, LayoutCutsMicrosecondsAndPadsEveryPart) {
    struct Case {
        std::int64_t seconds;
        std::uint32_t nanoseconds;
        std::string_view expected;
    };
    for (const Case& c :
         {Case{0, 0, "1970-01-01T00:00:00.000000Z"}, Case{1772352942, 61207999, "2026-03-01T08:15:42.061207Z"},
          Case{1772352942, 999999999, "2026-03-01T08:15:42.999999Z"},
          Case{1772352942, 999, "2026-03-01T08:15:42.000000Z"}, Case{1772352942, 1000, "2026-03-01T08:15:42.000001Z"},
          Case{1709164800, 500000000, "2024-02-29T00:00:00.500000Z"}, Case{-1, 0, "1969-12-31T23:59:59.000000Z"},
          Case{-30610224001, 0, "0999-12-31T23:59:59.000000Z"}, Case{-62135596800, 0, "0001-01-01T00:00:00.000000Z"},
          Case{253402300799, 999999999, "9999-12-31T23:59:59.999999Z"}}) {
        std::string stamp = format_timestamp(c.seconds, c.nanoseconds);
        EXPECT_EQ(stamp, c.expected) << c.seconds << "." << c.nanoseconds;
        EXPECT_EQ(stamp.size(), 27u);
    }
}

}  // namespace
}  // namespace quillfern::log
