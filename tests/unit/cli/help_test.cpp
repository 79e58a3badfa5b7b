// -h and --help: the help text on standard output and status 0.
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "cli_fixture.hpp"

namespace quillfern::cli {
namespace {

using testing::Env;

// The help text: its head, one block per option, its tail.
const std::string kHelpHead =
    "quillFern \xE2\x80\x94 epidemic gossip engine for the Varnekeep mesh\n"
    "\n"
    "Usage: quillfern [OPTIONS]\n"
    "\n"
    "Options:\n";
const std::string kHelpTail =
    "  -h, --help\n"
    "          Print help\n";

// Each option's block with its variable unset.
const std::vector<std::pair<std::string, std::string>> kOptionBlocks{
    {"--family-id",
     "      --family-id <FAMILY_ID>\n"
     "          Family ID for socket naming (production mode) [env: FAMILY_ID=]\n"},
    {"--gate-id",
     "      --gate-id <GATE_ID>\n"
     "          Gate identity (e.g. \"gate-alpha\"). Defaults to hostname [env: GATE_ID=]\n"},
    {"--transport-endpoint",
     "      --transport-endpoint <TRANSPORT_ENDPOINT>\n"
     "          Transport endpoint override (JSON) [env: TRANSPORT_ENDPOINT=]\n"},
    {"--disable-tarpc",
     "      --disable-tarpc\n"
     "          Disable tarpc binary listener (JSON-RPC only mode) [env: DISABLE_TARPC=]\n"},
    {"--legacy-dual-socket",
     "      --legacy-dual-socket\n"
     "          Legacy: run separate JSON-RPC and tarpc sockets instead of G65 negotiation [env:\n"
     "          LEGACY_DUAL_SOCKET=]\n"},
    {"--evict-interval",
     "      --evict-interval <EVICT_INTERVAL>\n"
     "          Gossip eviction interval in seconds (default 120) [env: GOSSIP_EVICT_INTERVAL=] [default:\n"
     "          120]\n"},
    {"--spread-interval",
     "      --spread-interval <SPREAD_INTERVAL>\n"
     "          Epidemic sweep interval in seconds (default 30) [env: GOSSIP_SPREAD_INTERVAL=] [default:\n"
     "          30]\n"},
    {"--gossip-port",
     "      --gossip-port <GOSSIP_PORT>\n"
     "          TCP port for cross-gate gossip (default 7800) [env: GOSSIP_PORT=] [default: 7800]\n"},
};

// The whole help, with the blocks `changed` names in place of theirs.
std::string help_text(const std::map<std::string, std::string>& changed = {}) {
    std::string text = kHelpHead;
    for (const auto& [option, block] : kOptionBlocks) {
        const auto it = changed.find(option);
        text += it == changed.end() ? block : it->second;
    }
    return text + kHelpTail;
}

struct HelpCase {
    std::string name;
    std::vector<std::string> args;
    Env env;
    std::optional<std::string> output;  // the whole help; none: only that it is the help
};

class HelpOutput : public ::testing::TestWithParam<HelpCase> {};

TEST_P(HelpOutput, IsPrintedWithStatusZero) {
    const HelpCase& c = GetParam();
    const ParseResult result = testing::run(c.args, c.env);
    EXPECT_EQ(result.kind, ParseResult::Kind::Help) << result.output;
    EXPECT_EQ(result.exit_status, 0);
    if (c.output) {
        EXPECT_EQ(result.output, *c.output);
    } else {
        EXPECT_TRUE(result.output.starts_with(kHelpHead)) << result.output;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, HelpOutput,
    ::testing::Values(
        HelpCase{"WithoutVariables", {"--help"}, {}, help_text()},
        HelpCase{"ShortAndLongPrintTheSame", {"-h"}, {}, help_text()},
        // Variable values appear in their annotations (lossily decoded) and move the wrap
        // points; invalid values do not stop the help.
        HelpCase{
            "ShowsVariableValues",
            {"--help"},
            {{"FAMILY_ID", ""},
             {"GATE_ID", "gate-7"},
             {"TRANSPORT_ENDPOINT", R"({"transport": "tcp", "host": "gossip-relay.internal.example", "port": 7800})"},
             {"DISABLE_TARPC", "yes"},
             {"GOSSIP_EVICT_INTERVAL", "60"},
             {"GOSSIP_PORT",
              "\xFF"
              "80"}},
            help_text({
                {"--gate-id",
                 "      --gate-id <GATE_ID>\n"
                 "          Gate identity (e.g. \"gate-alpha\"). Defaults to hostname [env: GATE_ID=gate-7]\n"},
                {"--transport-endpoint",
                 "      --transport-endpoint <TRANSPORT_ENDPOINT>\n"
                 "          Transport endpoint override (JSON) [env: TRANSPORT_ENDPOINT={\"transport\": "
                 "\"tcp\", \"host\":\n"
                 "          \"gossip-relay.internal.example\", \"port\": 7800}]\n"},
                {"--disable-tarpc",
                 "      --disable-tarpc\n"
                 "          Disable tarpc binary listener (JSON-RPC only mode) [env: DISABLE_TARPC=yes]\n"},
                {"--evict-interval",
                 "      --evict-interval <EVICT_INTERVAL>\n"
                 "          Gossip eviction interval in seconds (default 120) [env: GOSSIP_EVICT_INTERVAL=60]\n"
                 "          [default: 120]\n"},
                {"--gossip-port",
                 "      --gossip-port <GOSSIP_PORT>\n"
                 "          TCP port for cross-gate gossip (default 7800) [env: GOSSIP_PORT=\xEF\xBF\xBD"
                 "80] [default: 7800]\n"},
            })},
        // Help wins over everything that follows it.
        HelpCase{"ShortCluster", {"-hx"}, {}, std::nullopt},
        HelpCase{"BeforeUnknownArgument", {"--help", "--bogus", "x"}, {}, std::nullopt},
        HelpCase{"AfterGoodOptions", {"--family-id", "f", "--disable-tarpc", "--help"}, {}, std::nullopt},
        HelpCase{"BeforeRepeatedOption", {"--gate-id=a", "-h", "--gate-id=a"}, {}, std::nullopt},
        HelpCase{
            "BadVariablesNeverChecked",
            {"-h"},
            {{"DISABLE_TARPC", "yes"}, {"GOSSIP_PORT", "99999"}, {"GOSSIP_EVICT_INTERVAL", "0"}, {"FAMILY_ID", "\xFF"}},
            std::nullopt}),
    [](const auto& info) { return info.param.name; });

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

TEST(HelpLoses, ToAnEarlierErrorAndAfterDoubleDash) {
    EXPECT_EQ(testing::run({"serve", "--help"}).output, testing::with_usage("unexpected argument 'serve' found"));
    EXPECT_EQ(testing::run({"--", "--help"}).output, testing::with_usage("unexpected argument '--help' found"));
}

}  // namespace
}  // namespace quillfern::cli
