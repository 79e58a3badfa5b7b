// Successful parses: where each field's value comes from.
#include <functional>

#include <gtest/gtest.h>

#include "cli_fixture.hpp"

namespace quillfern::cli {
namespace {

using testing::Env;

struct ValueCase {
    std::string name;
    std::vector<std::string> args;
    Env env;
    Cli expected;
};

class ParseValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(ParseValues, YieldsTheRecord) {
    const ValueCase& c = GetParam();
    const ParseResult result = testing::run(c.args, c.env);
    ASSERT_EQ(result.kind, ParseResult::Kind::Run) << result.output;
    EXPECT_EQ(result.exit_status, 0);
    EXPECT_EQ(result.output, "");
    EXPECT_EQ(result.cli, c.expected);
}

const Env kAllVariables{
    {"FAMILY_ID", "fam"},
    {"GATE_ID", "gate-9"},
    {"TRANSPORT_ENDPOINT", R"({"transport":"uds","path":"/tmp/q.sock"})"},
    {"DISABLE_TARPC", "true"},
    {"LEGACY_DUAL_SOCKET", "true"},
    {"GOSSIP_EVICT_INTERVAL", "60"},
    {"GOSSIP_SPREAD_INTERVAL", "5"},
    {"GOSSIP_PORT", "9000"},
};

// Whole records list their fields in order: family id, gate id, transport endpoint,
// disable-tarpc, legacy-dual-socket, evict interval, spread interval, gossip port.
const Cli kFromAllVariables{"fam", "gate-9", R"({"transport":"uds","path":"/tmp/q.sock"})", true, true, 60, 5, 9000};

// `base` with `change` made to it.
Cli with(Cli base, const std::function<void(Cli&)>& change) {
    change(base);
    return base;
}
Cli with(const std::function<void(Cli&)>& change) { return with(Cli{}, change); }

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseValues,
    ::testing::Values(
        ValueCase{"Defaults", {}, {}, Cli{}},
        ValueCase{"EveryOptionSeparateValues",
                  {"--family-id", "prod", "--gate-id", "gate-1", "--transport-endpoint",
                   R"({"transport":"tcp","host":"127.0.0.1","port":1})", "--disable-tarpc", "--legacy-dual-socket",
                   "--evict-interval", "10", "--spread-interval", "3", "--gossip-port", "7900"},
                  {},
                  Cli{"prod", "gate-1", R"({"transport":"tcp","host":"127.0.0.1","port":1})", true, true, 10, 3, 7900}},
        ValueCase{"EqualsForms",
                  {"--family-id=a=b", "--gate-id=", "--evict-interval=+5", "--gossip-port=+80"},
                  {},
                  with([](Cli& c) {
                      c.family_id = "a=b";
                      c.gate_id = "";
                      c.evict_interval = 5;
                      c.gossip_port = 80;
                  })},
        ValueCase{"EveryVariable", {}, kAllVariables, kFromAllVariables},
        ValueCase{"CommandLineBeatsVariables",
                  {"--family-id", "cli", "--evict-interval", "10", "--gossip-port", "1"},
                  kAllVariables,
                  with(kFromAllVariables,
                       [](Cli& c) {
                           c.family_id = "cli";
                           c.evict_interval = 10;
                           c.gossip_port = 1;
                       })},
        ValueCase{"FlagOnCommandLineIgnoresItsVariable",
                  {"--disable-tarpc", "--legacy-dual-socket"},
                  {{"DISABLE_TARPC", "yes"}, {"LEGACY_DUAL_SOCKET", ""}},
                  with([](Cli& c) {
                      c.disable_tarpc = true;
                      c.legacy_dual_socket = true;
                  })},
        ValueCase{"FlagVariablesFalse", {}, {{"DISABLE_TARPC", "false"}, {"LEGACY_DUAL_SOCKET", "false"}}, Cli{}},
        ValueCase{"EmptyTextVariablesArePresent",
                  {},
                  {{"FAMILY_ID", ""}, {"GATE_ID", ""}, {"TRANSPORT_ENDPOINT", ""}},
                  with([](Cli& c) {
                      c.family_id = "";
                      c.gate_id = "";
                      c.transport_endpoint = "";
                  })},
        ValueCase{"PortBounds", {"--gossip-port", "0"}, {}, with([](Cli& c) { c.gossip_port = 0; })},
        ValueCase{"PortUpperBound", {"--gossip-port=65535"}, {}, with([](Cli& c) { c.gossip_port = 65535; })},
        ValueCase{"PortLeadingZeros", {"--gossip-port", "0080"}, {}, with([](Cli& c) { c.gossip_port = 80; })},
        ValueCase{"IntervalLimits",
                  {"--evict-interval", "1", "--spread-interval", "18446744073709551615"},
                  {},
                  with([](Cli& c) {
                      c.evict_interval = 1;
                      c.spread_interval = 18446744073709551615ULL;
                  })},
        ValueCase{"LoneDashIsAValue", {"--family-id", "-"}, {}, with([](Cli& c) { c.family_id = "-"; })},
        ValueCase{
            "DoubleDashAloneEndsOptions", {"--family-id", "x", "--"}, {}, with([](Cli& c) { c.family_id = "x"; })},
        ValueCase{"Utf8TextKeptAsIs", {"--gate-id", "g\xC3\xA5te \xE2\x80\x94 1"}, {}, with([](Cli& c) {
                      c.gate_id = "g\xC3\xA5te \xE2\x80\x94 1";
                  })},
        ValueCase{"ValueLooksLikeOptionWithEquals", {"--family-id=--gate-id"}, {}, with([](Cli& c) {
                      c.family_id = "--gate-id";
                  })},
        ValueCase{"UnrelatedVariablesIgnored",
                  {},
                  {{"GOSSIP_PORTS", "x"}, {"gate_id", "x"}, {"TOKIO_WORKER_THREADS", "0"}},
                  Cli{}}),
    [](const auto& info) { return info.param.name; });

TEST(ParseProgramPath, EmptyArgumentListParsesDefaults) {
    const ParseResult result = parse({}, testing::fake_env({}));
    EXPECT_EQ(result.kind, ParseResult::Kind::Run);
    EXPECT_EQ(result.cli, Cli{});
}

TEST(ProcessEnv, ReadsRawBytesOfTheProcessEnvironment) {
    ASSERT_EQ(::setenv("QUILLFERN_CLI_TEST_VALUE", "a\xFF b", 1), 0);
    ASSERT_EQ(::unsetenv("QUILLFERN_CLI_TEST_UNSET"), 0);
    const EnvLookup env = process_env();
    EXPECT_EQ(env("QUILLFERN_CLI_TEST_VALUE"), std::optional<std::string>("a\xFF b"));
    EXPECT_EQ(env("QUILLFERN_CLI_TEST_UNSET"), std::nullopt);
    ::unsetenv("QUILLFERN_CLI_TEST_VALUE");
}

}  // namespace
}  // namespace quillfern::cli
