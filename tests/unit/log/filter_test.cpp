// RUST_LOG values and which events they let through.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/log.hpp"

namespace quillfern::log {
namespace {

constexpr std::string_view kServer = "quillfern_server";
constexpr std::string_view kSpread = "quillfern_server::spread";
constexpr std::string_view kServerModule = "quillfern_server::server";
constexpr std::string_view kGossip = "quillfern_core::gossip";
constexpr std::string_view kTarpc = "tarpc::server";
constexpr std::string_view kTargets[] = {kServer, kSpread, kServerModule, kGossip, kTarpc};

// The most verbose level that passes for a target; None: nothing passes.
enum Lowest { T, D, I, W, E, None };

struct Expect {
    std::string_view target;
    Lowest lowest;
};

struct EnvCase {
    const char* label;
    std::optional<std::string> value;  // none: RUST_LOG unset
    std::vector<Expect> expect;        // targets not named here: `others`
    Lowest others;
};

void PrintTo(const EnvCase& c, std::ostream* os) {
    *os << (c.value ? ::testing::PrintToString(*c.value) : std::string("<unset>"));
}

// Saves RUST_LOG and puts it back afterwards.
class RustLogEnv : public ::testing::TestWithParam<EnvCase> {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("RUST_LOG")) saved_ = old;
    }
    void TearDown() override {
        if (saved_) {
            setenv("RUST_LOG", saved_->c_str(), 1);
        } else {
            unsetenv("RUST_LOG");
        }
    }

private:
    std::optional<std::string> saved_;
};

Lowest lowest_for(const EnvCase& c, std::string_view target) {
    for (const Expect& e : c.expect) {
        if (e.target == target) return e.lowest;
    }
    return c.others;
}

TEST_P(RustLogEnv, LetsThroughExactlyTheExpectedLevelsPerTarget) {
    const EnvCase& c = GetParam();
    if (c.value) {
        setenv("RUST_LOG", c.value->c_str(), 1);
    } else {
        unsetenv("RUST_LOG");
    }
    EnvFilter filter = EnvFilter::from_env();
    for (std::string_view target : kTargets) {
        Lowest lowest = lowest_for(c, target);
        for (int level = 0; level <= 4; ++level) {
            bool expected = level >= static_cast<int>(lowest);
            EXPECT_EQ(filter.enabled(static_cast<Level>(level), target), expected)
                << "RUST_LOG=\"" << c.value.value_or("<unset>") << "\" target " << target << " level " << level;
        }
    }
}

std::vector<Expect> kServerTargets(Lowest lowest) {
    return {{kServer, lowest}, {kSpread, lowest}, {kServerModule, lowest}};
}

INSTANTIATE_TEST_SUITE_P(
    Values, RustLogEnv,
    ::testing::Values(
        EnvCase{"unset", std::nullopt, {}, I}, EnvCase{"debug", "debug", {}, D},
        EnvCase{"server_debug", "quillfern_server=debug", kServerTargets(D), None},
        EnvCase{"info_spread_debug", "info,quillfern_server::spread=debug", {{kSpread, D}}, I},
        EnvCase{"longer_target_decides",
                "quillfern_server=warn,quillfern_server::spread=trace",
                {{kServer, W}, {kSpread, T}, {kServerModule, W}},
                None},
        EnvCase{"later_replaces_earlier", "quillfern_server=debug,quillfern_server=warn", kServerTargets(W), None},
        EnvCase{"later_global_replaces_earlier", "debug,info", {}, I}, EnvCase{"empty", "", {}, None},
        EnvCase{"only_comma", ",", {}, None}, EnvCase{"only_commas", ",,,", {}, None},
        EnvCase{"single_blank", " ", {}, I}, EnvCase{"blank_piece_between_commas", "debug, ,warn", {}, I},
        EnvCase{"invalid_level_discards_valid_pieces", "debug,quillfern_server=loud", {}, I},
        EnvCase{"blank_after_equals", "quillfern_server = debug", {}, I},
        EnvCase{"blank_before_equals_is_part_of_target", "quillfern_server =debug", {}, None},
        EnvCase{"unknown_word_is_a_target", "verbose", {}, None}, EnvCase{"upper_case_word", "INFO", {}, I},
        EnvCase{"mixed_case_word", "WaRn", {}, W}, EnvCase{"digit_three", "3", {}, I},
        EnvCase{"digit_five", "5", {}, T}, EnvCase{"digit_one", "1", {}, E}, EnvCase{"digit_zero", "0", {}, None},
        EnvCase{"off", "off", {}, None}, EnvCase{"off_upper", "OFF", {}, None},
        EnvCase{"digit_six_is_a_target", "6", {}, None},
        EnvCase{"target_with_plus_digit", "quillfern_server=+4", kServerTargets(D), None},
        EnvCase{"target_with_digit_zero", "quillfern_server=0,info", kServerTargets(None), I},
        EnvCase{"target_with_digit_six", "quillfern_server=6", {}, I},
        EnvCase{"empty_level_is_error", "quillfern_server=", kServerTargets(E), None},
        EnvCase{"target_alone_is_trace", "quillfern_server::spread", {{kSpread, T}}, None},
        EnvCase{"plain_prefix_spans_crates", "quillfern=debug", {{kTarpc, None}}, D},
        EnvCase{"prefix_ignores_module_boundaries",
                "quillfern_server::s=debug,warn",
                {{kSpread, D}, {kServerModule, D}},
                W},
        EnvCase{"target_off_beside_global", "quillfern_core::gossip=off,debug", {{kGossip, None}}, D},
        EnvCase{"trimmed_ascii_blanks", "  debug\t", {}, D},
        EnvCase{"trimmed_unicode_blanks", "\u00a0debug\u2003", {}, D},
        EnvCase{"trailing_comma", "quillfern_server=debug,", kServerTargets(D), None},
        EnvCase{"second_equals", "quillfern_server=debug=x,trace", {}, I}, EnvCase{"empty_target", "=debug", {}, I},
        EnvCase{"bad_first_char", "*=debug", {}, I}, EnvCase{"plus_cannot_start_a_piece", "+4", {}, I},
        EnvCase{"dash_may_start_a_piece", "-x=debug", {}, None}, EnvCase{"colon_may_start_a_piece", "::x", {}, None},
        EnvCase{"underscore_may_start_a_piece", "_x", {}, None},
        EnvCase{"unicode_letter_may_start_a_piece", "\u00e9t\u00e9=debug", {}, None},
        EnvCase{"unicode_punctuation_cannot", "\u2014x=debug", {}, I}, EnvCase{"span_form", "[RPC]=debug", {}, I},
        EnvCase{"bracket_inside_target", "quillfern_server[x]=debug", {}, I},
        EnvCase{"not_utf8",
                "\xff"
                "debug",
                {},
                I}),
    [](const ::testing::TestParamInfo<EnvCase>& info) { return std::string(info.param.label); });

TEST(EnvFilterParse, TellsInvalidFromEmpty) {
    EXPECT_FALSE(EnvFilter::parse(" ").has_value());
    EXPECT_FALSE(EnvFilter::parse("debug,quillfern_server=loud").has_value());
    auto empty = EnvFilter::parse("");
    ASSERT_TRUE(empty.has_value());
    EXPECT_TRUE(empty->directives().empty());
    EXPECT_EQ(empty->max_level(), 5);
    auto commas = EnvFilter::parse(",,");
    ASSERT_TRUE(commas.has_value());
    EXPECT_TRUE(commas->directives().empty());
}

TEST(EnvFilterParse, OrdersTargetedFirstLongestFirstAndLaterReplacesEarlier) {
    auto filter = EnvFilter::parse("a=info,warn,abc=debug,ab=error,trace,a=off");
    ASSERT_TRUE(filter.has_value());
    const auto& d = filter->directives();
    ASSERT_EQ(d.size(), 4u);
    EXPECT_EQ(d[0].target, std::optional<std::string>("abc"));
    EXPECT_EQ(d[0].level, static_cast<int>(Level::Debug));
    EXPECT_EQ(d[1].target, std::optional<std::string>("ab"));
    EXPECT_EQ(d[1].level, static_cast<int>(Level::Error));
    EXPECT_EQ(d[2].target, std::optional<std::string>("a"));
    EXPECT_EQ(d[2].level, 5);
    EXPECT_FALSE(d[3].target.has_value());
    EXPECT_EQ(d[3].level, static_cast<int>(Level::Trace));
}

TEST(EnvFilterParse, KeepsTargetTextAsWritten) {
    auto filter = EnvFilter::parse("quillfern_server =debug");
    ASSERT_TRUE(filter.has_value());
    ASSERT_EQ(filter->directives().size(), 1u);
    EXPECT_EQ(filter->directives()[0].target, std::optional<std::string>("quillfern_server "));
}

TEST(EnvFilterParse, MaxLevelIsTheMostVerboseDirective) {
    struct Case {
        std::string_view value;
        int max_level;
    };
    for (const Case& c : {Case{"info", 2}, Case{"quillfern_server=off,warn", 3}, Case{"a=trace,error", 0},
                          Case{"off", 5}, Case{"x=", 4}, Case{"", 5}}) {
        auto filter = EnvFilter::parse(c.value);
        ASSERT_TRUE(filter.has_value()) << c.value;
        EXPECT_EQ(filter->max_level(), c.max_level) << c.value;
    }
}

TEST(EnvFilterParse, FallbackIsInfoForEveryTarget) {
    EnvFilter filter = EnvFilter::fallback();
    ASSERT_EQ(filter.directives().size(), 1u);
    EXPECT_FALSE(filter.directives()[0].target.has_value());
    EXPECT_EQ(filter.max_level(), static_cast<int>(Level::Info));
    EXPECT_TRUE(filter.enabled(Level::Info, "anything"));
    EXPECT_FALSE(filter.enabled(Level::Debug, "anything"));
}

}  // namespace
}  // namespace quillfern::log
