// The runtime's worker count and the fatal messages of a bad TOKIO_WORKER_THREADS.
#include <gtest/gtest.h>

#include "cli_fixture.hpp"

namespace quillfern::cli {
namespace {

struct WorkerCase {
    std::string name;
    std::optional<std::string> value;  // none: the variable is unset
    std::size_t online;
    std::optional<std::size_t> workers;
    std::string fatal;  // when no worker count results
};

class WorkerThreads : public ::testing::TestWithParam<WorkerCase> {};

TEST_P(WorkerThreads, FromTheEnvironment) {
    const WorkerCase& c = GetParam();
    testing::Env env;
    if (c.value) env["TOKIO_WORKER_THREADS"] = *c.value;
    const auto result = worker_threads(testing::fake_env(env), c.online);
    if (c.workers) {
        ASSERT_TRUE(result.has_value()) << result.error();
        EXPECT_EQ(*result, *c.workers);
    } else {
        ASSERT_FALSE(result.has_value()) << *result;
        EXPECT_EQ(result.error(), c.fatal);
    }
}

const std::string kUsize = "\"TOKIO_WORKER_THREADS\" must be usize, error: ";
const std::string kZero = "\"TOKIO_WORKER_THREADS\" cannot be set to 0";

INSTANTIATE_TEST_SUITE_P(
    Cases, WorkerThreads,
    ::testing::Values(
        WorkerCase{"UnsetUsesOnlineProcessors", std::nullopt, 8, 8, ""},
        WorkerCase{"UnsetWithNoProcessorCount", std::nullopt, 0, 1, ""}, WorkerCase{"Plain", "3", 8, 3, ""},
        WorkerCase{"LeadingPlus", "+3", 8, 3, ""},
        WorkerCase{"NoUpperLimit", "18446744073709551615", 8, 18446744073709551615ULL, ""},
        WorkerCase{"LeadingBlank", " 3", 8, std::nullopt, kUsize + "invalid digit found in string, value:  3"},
        WorkerCase{"TrailingBlank", "3 ", 8, std::nullopt, kUsize + "invalid digit found in string, value: 3 "},
        WorkerCase{"Empty", "", 8, std::nullopt, kUsize + "cannot parse integer from empty string, value: "},
        WorkerCase{"Negative", "-1", 8, std::nullopt, kUsize + "invalid digit found in string, value: -1"},
        WorkerCase{"LonePlus", "+", 8, std::nullopt, kUsize + "invalid digit found in string, value: +"},
        WorkerCase{"TooLarge", "18446744073709551616", 8, std::nullopt,
                   kUsize + "number too large to fit in target type, value: 18446744073709551616"},
        WorkerCase{"Zero", "0", 8, std::nullopt, kZero}, WorkerCase{"ZeroPadded", "000", 8, std::nullopt, kZero},
        WorkerCase{"ZeroWithPlus", "+0", 8, std::nullopt, kZero},
        WorkerCase{"NonUtf8", "\xFF", 8, std::nullopt,
                   "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: \"\\xFF\""},
        WorkerCase{"NonUtf8WithEscapes", "a\xC3\n\"\\", 8, std::nullopt,
                   "\"TOKIO_WORKER_THREADS\" must be valid unicode, error: \"a\\xC3\\n\\\"\\\\\""}),
    [](const auto& info) { return info.param.name; });

TEST(WorkerThreadsLookup, ReadsOnlyItsOwnVariable) {
    std::vector<std::string> asked;
    const EnvLookup env = [&asked](const char* name) -> std::optional<std::string> {
        asked.emplace_back(name);
        return std::nullopt;
    };
    EXPECT_EQ(*worker_threads(env, 4), 4U);
    EXPECT_EQ(asked, std::vector<std::string>{"TOKIO_WORKER_THREADS"});
}

}  // namespace
}  // namespace quillfern::cli
