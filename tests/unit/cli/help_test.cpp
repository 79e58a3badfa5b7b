// -h and --help: the help text on standard output and status 0.
#include <gtest/gtest.h>

#include "cli_fixture.hpp"

namespace quillfern::cli {
namespace {

using testing::Env;

const std::string kHelpWithoutVariables =
    "quillFern \xE2\x80\x94 epidemic gossip engine for the Varnekeep mesh\n"
    "\n"
    "Usage: quillfern [OPTIONS]\n"
    "\n"
    "Options:\n"
    "      --family-id <FAMILY_ID>\n"
    "          Family ID for socket naming (production mode) [env: FAMILY_ID=]\n"
    "      --gate-id <GATE_ID>\n"
    "          Gate identity (e.g. \"gate-alpha\"). Defaults to hostname [env: GATE_ID=]\n"
    "      --transport-endpoint <TRANSPORT_ENDPOINT>\n"
    "          Transport endpoint override (JSON) [env: TRANSPORT_ENDPOINT=]\n"
    "      --disable-tarpc\n"
    "          Disable tarpc binary listener (JSON-RPC only mode) [env: DISABLE_TARPC=]\n"
    "      --legacy-dual-socket\n"
    "          Legacy: run separate JSON-RPC and tarpc sockets instead of G65 negotiation [env:\n"
    "          LEGACY_DUAL_SOCKET=]\n"
    "      --evict-interval <EVICT_INTERVAL>\n"
    "          Gossip eviction interval in seconds (default 120) [env: GOSSIP_EVICT_INTERVAL=] [default:\n"
    "          120]\n"
    "      --spread-interval <SPREAD_INTERVAL>\n"
    "          Epidemic sweep interval in seconds (default 30) [env: GOSSIP_SPREAD_INTERVAL=] [default:\n"
    "          30]\n"
    "      --gossip-port <GOSSIP_PORT>\n"
    "          TCP port for cross-gate gossip (default 7800) [env: GOSSIP_PORT=] [default: 7800]\n"
    "  -h, --help\n"
    "          Print help\n";

TEST(Help, WithoutVariables) {
    const ParseResult result = testing::run({"--help"});
    EXPECT_EQ(result.kind, ParseResult::Kind::Help);
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, kHelpWithoutVariables);
}

TEST(Help, ShortAndLongPrintTheSame) { EXPECT_EQ(testing::run({"-h"}).output, kHelpWithoutVariables); }

// Variable values appear in their annotations (lossily decoded) and move the wrap
// points; invalid values do not stop the help.
TEST(Help, ShowsVariableValues) {
    const Env env{
        {"FAMILY_ID", ""},
        {"GATE_ID", "gate-7"},
        {"TRANSPORT_ENDPOINT", R"({"transport": "tcp", "host": "gossip-relay.internal.example", "port": 7800})"},
        {"DISABLE_TARPC", "yes"},
        {"GOSSIP_EVICT_INTERVAL", "60"},
        {"GOSSIP_PORT",
         "\xFF"
         "80"},
    };
    const ParseResult result = testing::run({"--help"}, env);
    EXPECT_EQ(result.kind, ParseResult::Kind::Help);
    EXPECT_EQ(result.output,
              "quillFern \xE2\x80\x94 epidemic gossip engine for the Varnekeep mesh\n"
              "\n"
              "Usage: quillfern [OPTIONS]\n"
              "\n"
              "Options:\n"
              "      --family-id <FAMILY_ID>\n"
              "          Family ID for socket naming (production mode) [env: FAMILY_ID=]\n"
              "      --gate-id <GATE_ID>\n"
              "          Gate identity (e.g. \"gate-alpha\"). Defaults to hostname [env: GATE_ID=gate-7]\n"
              "      --transport-endpoint <TRANSPORT_ENDPOINT>\n"
              "          Transport endpoint override (JSON) [env: TRANSPORT_ENDPOINT={\"transport\": "
              "\"tcp\", \"host\":\n"
              "          \"gossip-relay.internal.example\", \"port\": 7800}]\n"
              "      --disable-tarpc\n"
              "          Disable tarpc binary listener (JSON-RPC only mode) [env: DISABLE_TARPC=yes]\n"
              "      --legacy-dual-socket\n"
              "          Legacy: run separate JSON-RPC and tarpc sockets instead of G65 negotiation [env:\n"
              "          LEGACY_DUAL_SOCKET=]\n"
              "      --evict-interval <EVICT_INTERVAL>\n"
              "          Gossip eviction interval in seconds (default 120) [env: GOSSIP_EVICT_INTERVAL=60]\n"
              "          [default: 120]\n"
              "      --spread-interval <SPREAD_INTERVAL>\n"
              "          Epidemic sweep interval in seconds (default 30) [env: GOSSIP_SPREAD_INTERVAL=] "
              "[default:\n"
              "          30]\n"
              "      --gossip-port <GOSSIP_PORT>\n"
              "          TCP port for cross-gate gossip (default 7800) [env: GOSSIP_PORT=\xEF\xBF\xBD"
              "80] [default: 7800]\n"
              "  -h, --help\n"
              "          Print help\n");
}

// A word wider than the line is not split; it gets a line of its own. A line break
// inside a value keeps the text column.
TEST(Help, LongWordsAndLineBreaksInValues) {
    const std::string long_path(95, 'p');
    const Env env{{"FAMILY_ID", "a\nb"}, {"GATE_ID", long_path}};
    const std::string output = testing::run({"-h"}, env).output;
    EXPECT_NE(output.find("      --family-id <FAMILY_ID>\n"
                          "          Family ID for socket naming (production mode) [env: FAMILY_ID=a\n"
                          "          b]\n"
                          "      --gate-id <GATE_ID>\n"
                          "          Gate identity (e.g. \"gate-alpha\"). Defaults to hostname [env:\n"
                          "          GATE_ID=" +
                          long_path +
                          "]\n"
                          "      --transport-endpoint"),
              std::string::npos)
        << output;
}

TEST(Help, UsageNamesTheProgramFile) {
    const std::vector<std::string> args{"/srv/bin/qf-edge", "--help"};
    const std::string output = parse(args, testing::fake_env({})).output;
    EXPECT_NE(output.find("\n\nUsage: qf-edge [OPTIONS]\n\nOptions:\n"), std::string::npos) << output;
}

struct HelpCase {
    std::string name;
    std::vector<std::string> args;
    Env env;
};

class HelpWins : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpWins, OverEverythingThatFollowsIt) {
    const HelpCase& c = GetParam();
    const ParseResult result = testing::run(c.args, c.env);
    EXPECT_EQ(result.kind, ParseResult::Kind::Help) << result.output;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_TRUE(result.output.starts_with("quillFern \xE2\x80\x94 epidemic")) << result.output;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HelpWins,
    ::testing::Values(HelpCase{"ShortCluster", {"-hx"}, {}},
                      HelpCase{"BeforeUnknownArgument", {"--help", "--bogus", "x"}, {}},
                      HelpCase{"AfterGoodOptions", {"--family-id", "f", "--disable-tarpc", "--help"}, {}},
                      HelpCase{"BeforeRepeatedOption", {"--gate-id=a", "-h", "--gate-id=a"}, {}},
                      HelpCase{"BadVariablesNeverChecked",
                               {"-h"},
                               {{"DISABLE_TARPC", "yes"},
                                {"GOSSIP_PORT", "99999"},
                                {"GOSSIP_EVICT_INTERVAL", "0"},
                                {"FAMILY_ID", "\xFF"}}}),
    [](const auto& info) { return info.param.name; });

TEST(HelpLoses, ToAnEarlierErrorAndAfterDoubleDash) {
    EXPECT_EQ(testing::run({"serve", "--help"}).output, testing::with_usage("unexpected argument 'serve' found"));
    EXPECT_EQ(testing::run({"--", "--help"}).output, testing::with_usage("unexpected argument '--help' found"));
}

}  // namespace
}  // namespace quillfern::cli
