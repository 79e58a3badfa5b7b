// Refused command lines: the exact report on standard error and status 2.
#include <gtest/gtest.h>

#include "cli_fixture.hpp"

namespace quillfern::cli {
namespace {

using testing::Env;
using testing::with_usage;
using testing::without_usage;

struct ErrorCase {
    std::string name;
    std::vector<std::string> args;
    Env env;
    std::string report;
};

class ParseErrors : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ParseErrors, ReportsExactly) {
    const ErrorCase& c = GetParam();
    const ParseResult result = testing::run(c.args, c.env);
    EXPECT_EQ(result.kind, ParseResult::Kind::Error);
    EXPECT_EQ(result.exit_status, 2);
    EXPECT_EQ(result.output, c.report);
}

const std::string kRangeU64 = "is not in 1..=18446744073709551615";
const std::string kFlagChoices = "\n  [possible values: true, false]";

std::string suggestion(const std::string& message, const std::string& kind, const std::string& similar) {
    return message + "\n\n  tip: a similar " + kind + " exists: '" + similar + "'";
}

// Unknown arguments, positionals and the arguments after "--".
INSTANTIATE_TEST_SUITE_P(
    Unexpected, ParseErrors,
    ::testing::Values(
        ErrorCase{"Version", {"--version"}, {}, with_usage("unexpected argument '--version' found")},
        ErrorCase{"ShortVersion", {"-V"}, {}, with_usage("unexpected argument '-V' found")},
        ErrorCase{"Positional", {"serve"}, {}, with_usage("unexpected argument 'serve' found")},
        ErrorCase{"LoneDash", {"-"}, {}, with_usage("unexpected argument '-' found")},
        ErrorCase{"UnrelatedLong", {"--xyz"}, {}, with_usage("unexpected argument '--xyz' found")},
        ErrorCase{"UnknownLongWithValue",
                  {"--gate=g1"},
                  {},
                  with_usage(suggestion("unexpected argument '--gate' found", "argument", "--gate-id"))},
        ErrorCase{"SimilarPrefix",
                  {"--gossip", "1"},
                  {},
                  with_usage(suggestion("unexpected argument '--gossip' found", "argument", "--gossip-port"))},
        ErrorCase{"SimilarUnderscore",
                  {"--disable_tarpc"},
                  {},
                  with_usage(suggestion("unexpected argument '--disable_tarpc' found", "argument", "--disable-tarpc"))},
        ErrorCase{"SimilarToHelp",
                  {"--hlep"},
                  {},
                  with_usage(suggestion("unexpected argument '--hlep' found", "argument", "--help"))},
        ErrorCase{"EmptyLongName", {"--=x"}, {}, with_usage("unexpected argument '--' found")},
        ErrorCase{"UnknownShort", {"-x"}, {}, with_usage("unexpected argument '-x' found")},
        ErrorCase{"ShortClusterFirstLetterDecides", {"-xh"}, {}, with_usage("unexpected argument '-x' found")},
        ErrorCase{
            "NegativeNumberAsSeparateValue", {"--gossip-port", "-1"}, {}, with_usage("unexpected argument '-1' found")},
        ErrorCase{"OptionAfterDoubleDash",
                  {"--", "--family-id", "x"},
                  {},
                  with_usage("unexpected argument '--family-id' found")},
        ErrorCase{"ValueAfterDoubleDash", {"--family-id", "--", "x"}, {}, with_usage("unexpected argument 'x' found")},
        ErrorCase{"SecondValue", {"--family-id", "a", "b"}, {}, with_usage("unexpected argument 'b' found")},
        ErrorCase{"NonUtf8Positional", {"\xFF"}, {}, with_usage("unexpected argument '\xEF\xBF\xBD' found")},
        ErrorCase{"NonUtf8LongName",
                  {"--famil\xFF"},
                  {},
                  with_usage(suggestion("unexpected argument '--famil\xEF\xBF\xBD' found", "argument", "--family-id"))},
        ErrorCase{"NonUtf8Short", {"-\xC3"}, {}, with_usage("unexpected argument '-\xEF\xBF\xBD' found")},
        ErrorCase{"UnknownBeatsPendingValue",
                  {"--evict-interval", "abc", "--bogus"},
                  {},
                  with_usage("unexpected argument '--bogus' found")},
        ErrorCase{"CommandLineBeforeVariables",
                  {"--bogus"},
                  {{"DISABLE_TARPC", "yes"}},
                  with_usage("unexpected argument '--bogus' found")}),
    [](const auto& info) { return info.param.name; });

// Missing values, values given to flags, repeated options.
INSTANTIATE_TEST_SUITE_P(
    Shape, ParseErrors,
    ::testing::Values(
        ErrorCase{"ValueMissingAtEnd",
                  {"--family-id"},
                  {},
                  without_usage("a value is required for '--family-id <FAMILY_ID>' but none was supplied")},
        ErrorCase{"ValueMissingBeforeOption",
                  {"--gossip-port", "--gate-id", "g"},
                  {},
                  without_usage("a value is required for '--gossip-port <GOSSIP_PORT>' but none was supplied")},
        ErrorCase{"ValueMissingBeforeFlag",
                  {"--gate-id", "--disable-tarpc"},
                  {},
                  without_usage("a value is required for '--gate-id <GATE_ID>' but none was supplied")},
        ErrorCase{"ValueMissingBeforeHelp",
                  {"--gate-id", "-h"},
                  {},
                  without_usage("a value is required for '--gate-id <GATE_ID>' but none was supplied")},
        ErrorCase{"ValueMissingBeforeDoubleDash",
                  {"--spread-interval", "--"},
                  {},
                  without_usage("a value is required for '--spread-interval <SPREAD_INTERVAL>' but "
                                "none was supplied")},
        ErrorCase{"ValueMissingOnRepeat",
                  {"--family-id", "a", "--family-id"},
                  {},
                  without_usage("a value is required for '--family-id <FAMILY_ID>' but none was supplied")},
        ErrorCase{"FlagGivenValue",
                  {"--disable-tarpc=x"},
                  {},
                  with_usage("unexpected value 'x' for '--disable-tarpc' found; no more were expected")},
        ErrorCase{"FlagGivenEmptyValue",
                  {"--legacy-dual-socket="},
                  {},
                  with_usage("unexpected value '' for '--legacy-dual-socket' found; no more were expected")},
        ErrorCase{"HelpGivenValue",
                  {"--help=1"},
                  {},
                  with_usage("unexpected value '1' for '--help' found; no more were expected")},
        ErrorCase{"OptionTwice",
                  {"--family-id", "a", "--family-id", "b"},
                  {},
                  with_usage("the argument '--family-id <FAMILY_ID>' cannot be used multiple times")},
        ErrorCase{"OptionTwiceWithEquals",
                  {"--gossip-port=1", "--gossip-port=1"},
                  {},
                  with_usage("the argument '--gossip-port <GOSSIP_PORT>' cannot be used multiple times")},
        ErrorCase{"FlagTwice",
                  {"--disable-tarpc", "--disable-tarpc"},
                  {},
                  with_usage("the argument '--disable-tarpc' cannot be used multiple times")}),
    [](const auto& info) { return info.param.name; });

// Values the option's parser refuses, from the command line or the environment.
INSTANTIATE_TEST_SUITE_P(
    Values, ParseErrors,
    ::testing::Values(
        ErrorCase{"IntervalNotDigits",
                  {"--evict-interval", "abc"},
                  {},
                  without_usage("invalid value 'abc' for '--evict-interval <EVICT_INTERVAL>': invalid "
                                "digit found in string")},
        ErrorCase{"IntervalNegative",
                  {"--evict-interval=-5"},
                  {},
                  without_usage("invalid value '-5' for '--evict-interval <EVICT_INTERVAL>': invalid "
                                "digit found in string")},
        ErrorCase{"IntervalBlank",
                  {"--spread-interval", " 5"},
                  {},
                  without_usage("invalid value ' 5' for '--spread-interval <SPREAD_INTERVAL>': invalid "
                                "digit found in string")},
        ErrorCase{"IntervalEmpty",
                  {"--evict-interval="},
                  {},
                  without_usage("invalid value '' for '--evict-interval <EVICT_INTERVAL>': cannot parse "
                                "integer from empty string")},
        ErrorCase{"IntervalTooLarge",
                  {"--spread-interval", "18446744073709551616"},
                  {},
                  without_usage("invalid value '18446744073709551616' for '--spread-interval "
                                "<SPREAD_INTERVAL>': number too large to fit in target type")},
        ErrorCase{"IntervalZero",
                  {"--evict-interval", "0"},
                  {},
                  without_usage("invalid value '0' for '--evict-interval <EVICT_INTERVAL>': 0 " + kRangeU64)},
        ErrorCase{"IntervalZeroShowsRawText",
                  {"--spread-interval=+000"},
                  {},
                  without_usage("invalid value '+000' for '--spread-interval <SPREAD_INTERVAL>': 0 " + kRangeU64)},
        ErrorCase{"IntervalVariableZero",
                  {},
                  {{"GOSSIP_EVICT_INTERVAL", "0"}},
                  without_usage("invalid value '0' for '--evict-interval <EVICT_INTERVAL>': 0 " + kRangeU64)},
        ErrorCase{"IntervalVariableEmpty",
                  {},
                  {{"GOSSIP_SPREAD_INTERVAL", ""}},
                  without_usage("invalid value '' for '--spread-interval <SPREAD_INTERVAL>': cannot "
                                "parse integer from empty string")},
        ErrorCase{"PortAboveRange",
                  {"--gossip-port", "65536"},
                  {},
                  without_usage("invalid value '65536' for '--gossip-port <GOSSIP_PORT>': 65536 is not "
                                "in 0..=65535")},
        ErrorCase{"PortBelowRange",
                  {"--gossip-port=-1"},
                  {},
                  without_usage("invalid value '-1' for '--gossip-port <GOSSIP_PORT>': -1 is not in "
                                "0..=65535")},
        ErrorCase{"PortRangeShowsRawText",
                  {"--gossip-port=+070000"},
                  {},
                  without_usage("invalid value '+070000' for '--gossip-port <GOSSIP_PORT>': 70000 is "
                                "not in 0..=65535")},
        ErrorCase{"PortBeyondSigned64",
                  {"--gossip-port=9223372036854775808"},
                  {},
                  without_usage("invalid value '9223372036854775808' for '--gossip-port <GOSSIP_PORT>': "
                                "number too large to fit in target type")},
        ErrorCase{"PortBelowSigned64",
                  {"--gossip-port=-9223372036854775809"},
                  {},
                  without_usage("invalid value '-9223372036854775809' for '--gossip-port "
                                "<GOSSIP_PORT>': number too small to fit in target type")},
        ErrorCase{"PortVariableNotNumber",
                  {},
                  {{"GOSSIP_PORT", "http"}},
                  without_usage("invalid value 'http' for '--gossip-port <GOSSIP_PORT>': invalid digit "
                                "found in string")},
        ErrorCase{"PendingValueCheckedAtHelp",
                  {"--evict-interval", "abc", "--help"},
                  {},
                  without_usage("invalid value 'abc' for '--evict-interval <EVICT_INTERVAL>': invalid "
                                "digit found in string")},
        ErrorCase{"FlagVariableOne",
                  {},
                  {{"DISABLE_TARPC", "1"}},
                  without_usage("invalid value '1' for '--disable-tarpc'" + kFlagChoices)},
        ErrorCase{"FlagVariableUpperCase",
                  {},
                  {{"DISABLE_TARPC", "TRUE"}},
                  without_usage("invalid value 'TRUE' for '--disable-tarpc'" + kFlagChoices)},
        ErrorCase{"FlagVariableYes",
                  {},
                  {{"LEGACY_DUAL_SOCKET", "yes"}},
                  without_usage("invalid value 'yes' for '--legacy-dual-socket'" + kFlagChoices)},
        ErrorCase{
            "FlagVariableCloseToTrue",
            {},
            {{"DISABLE_TARPC", "True"}},
            without_usage(suggestion("invalid value 'True' for '--disable-tarpc'" + kFlagChoices, "value", "true"))},
        ErrorCase{"FlagVariableCloseToFalse",
                  {},
                  {{"LEGACY_DUAL_SOCKET", "fals"}},
                  without_usage(suggestion("invalid value 'fals' for '--legacy-dual-socket'" + kFlagChoices, "value",
                                           "false"))},
        ErrorCase{"FlagVariableEmpty",
                  {},
                  {{"LEGACY_DUAL_SOCKET", ""}},
                  without_usage("a value is required for '--legacy-dual-socket' but none was supplied" + kFlagChoices)},
        ErrorCase{"FlagVariableNonUtf8",
                  {},
                  {{"DISABLE_TARPC", "tr\xFF"}},
                  without_usage(suggestion("invalid value 'tr\xEF\xBF\xBD' for '--disable-tarpc'" + kFlagChoices,
                                           "value", "true"))},
        ErrorCase{"VariablesCheckedInOptionOrder",
                  {},
                  {{"GOSSIP_PORT", "x"}, {"DISABLE_TARPC", "x"}},
                  without_usage("invalid value 'x' for '--disable-tarpc'" + kFlagChoices)},
        ErrorCase{
            "TextNonUtf8", {"--family-id=\xFF"}, {}, with_usage("invalid UTF-8 was detected in one or more arguments")},
        ErrorCase{"NumberNonUtf8",
                  {"--gossip-port", "8\xFF"},
                  {},
                  with_usage("invalid UTF-8 was detected in one or more arguments")},
        ErrorCase{"TextVariableNonUtf8",
                  {},
                  {{"TRANSPORT_ENDPOINT", "{\xC0}"}},
                  with_usage("invalid UTF-8 was detected in one or more arguments")}),
    [](const auto& info) { return info.param.name; });

TEST(ParseErrorReport, FullTextOfASuggestion) {
    const ParseResult result = testing::run({"--gate", "g"});
    EXPECT_EQ(result.output,
              "error: unexpected argument '--gate' found\n"
              "\n"
              "  tip: a similar argument exists: '--gate-id'\n"
              "\n"
              "Usage: quillfern [OPTIONS]\n"
              "\n"
              "For more information, try '--help'.\n");
}

TEST(ParseErrorReport, FullTextOfAFlagVariable) {
    const ParseResult result = testing::run({}, {{"DISABLE_TARPC", "yes"}});
    EXPECT_EQ(result.output,
              "error: invalid value 'yes' for '--disable-tarpc'\n"
              "  [possible values: true, false]\n"
              "\n"
              "For more information, try '--help'.\n");
}

struct ProgramCase {
    std::string name;
    std::vector<std::string> args;
    std::string usage_name;
};

class ProgramName : public ::testing::TestWithParam<ProgramCase> {};

TEST_P(ProgramName, UsageNamesTheLastPathComponent) {
    const ProgramCase& c = GetParam();
    const ParseResult result = parse(c.args, testing::fake_env({}));
    EXPECT_EQ(result.output, "error: unexpected argument 'x' found\n\nUsage: " + c.usage_name +
                                 " [OPTIONS]\n\nFor more information, try '--help'.\n");
}

INSTANTIATE_TEST_SUITE_P(Paths, ProgramName,
                         ::testing::Values(ProgramCase{"Bare", {"quillfern-dev", "x"}, "quillfern-dev"},
                                           ProgramCase{"Absolute", {"/opt/q/bin/qf", "x"}, "qf"},
                                           ProgramCase{"Relative", {"./target/release/quillfern", "x"}, "quillfern"},
                                           ProgramCase{"TrailingSlash", {"bin/qf/", "x"}, "qf"},
                                           ProgramCase{"TrailingDot", {"bin/qf/.", "x"}, "qf"},
                                           ProgramCase{"Empty", {"", "x"}, "quillfern"},
                                           ProgramCase{"Root", {"/", "x"}, "quillfern"},
                                           ProgramCase{"ParentDir", {"bin/..", "x"}, "quillfern"},
                                           ProgramCase{"NonUtf8Name", {"bin/q\xFF", "x"}, "quillfern"}),
                         [](const auto& info) { return info.param.name; });

// Bad input of every byte value never breaks the parser: each run ends in one of
// the three outcomes with the status that belongs to it.
TEST(ParseRobustness, EveryByteInEveryPosition) {
    for (int b = 0; b < 256; ++b) {
        const std::string byte(1, static_cast<char>(b));
        const std::vector<std::vector<std::string>> shapes{{byte},
                                                           {"-" + byte},
                                                           {"--" + byte},
                                                           {"--family-id=" + byte},
                                                           {"--gossip-port", byte},
                                                           {"--disable-tarpc=" + byte},
                                                           {"--" + byte + "=" + byte}};
        for (const auto& args : shapes) {
            const ParseResult result = testing::run(args, {{"DISABLE_TARPC", byte}});
            switch (result.kind) {
                case ParseResult::Kind::Run: EXPECT_EQ(result.exit_status, 0); break;
                case ParseResult::Kind::Help: EXPECT_EQ(result.exit_status, 0); break;
                case ParseResult::Kind::Error:
                    EXPECT_EQ(result.exit_status, 2);
                    EXPECT_TRUE(result.output.starts_with("error: ")) << result.output;
                    EXPECT_TRUE(result.output.ends_with("For more information, try '--help'.\n"));
                    break;
            }
        }
    }
}

}  // namespace
}  // namespace quillfern::cli
