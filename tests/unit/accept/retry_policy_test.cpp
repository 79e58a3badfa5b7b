// What a listener does after a failed accept: one warning an episode, a pause or a new
// attempt at once, and which errors end accepting; and the binary RPC socket's policy,
// which never ends accepting.
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <asio/error.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/log.hpp"
#include "quillfern/tarpc_server.hpp"

namespace quillfern::server {
namespace {

using std::chrono::milliseconds;

std::error_code system_error(int value) { return {value, std::system_category()}; }

constexpr AcceptRetry kStopping{
    .log_target = "test::accept",
    .warning = "accept failed: {} — again",
    .pause = milliseconds(50),
};
constexpr AcceptRetry kEndless{
    .log_target = "test::accept",
    .warning = "accept failed: {}",
    .pause = milliseconds(100),
    .retry_lasting_errors = true,
    .at_once_for_one_call = true,
};

TEST(RetryPolicy, WarnsAtTheFirstFailureOfAnEpisodeOnly) {
    log::testing::Capture capture("warn");
    const AcceptErrorPolicy policy = retry_policy(kStopping);
    EXPECT_EQ(policy(system_error(EMFILE), true), milliseconds(50));
    EXPECT_EQ(policy(system_error(EMFILE), false), milliseconds(50));
    EXPECT_EQ(policy(system_error(ENOBUFS), false), milliseconds(50));
    EXPECT_EQ(capture.events(),
              std::vector<std::string>{" WARN test::accept: accept failed: Too many open files (os error 24) — again"});
}

TEST(RetryPolicy, AnErrorThatEndsAcceptingIsNotLogged) {
    log::testing::Capture capture("warn");
    EXPECT_EQ(retry_policy(kStopping)(system_error(EBADF), true), std::nullopt);
    EXPECT_EQ(capture.events(), std::vector<std::string>{});
}

struct PauseCase {
    const char* what;
    std::error_code error;
    std::optional<milliseconds> stopping;  // with kStopping; none: accepting ends
    milliseconds endless;                  // with kEndless and the binary socket's policy
};

const PauseCase kPauseCases[] = {
    {"connection aborted", system_error(ECONNABORTED), milliseconds(50), milliseconds(0)},
    {"interrupted (generic category)", std::error_code(EINTR, std::generic_category()), milliseconds(50),
     milliseconds(0)},
    {"would block (asio's category)", std::error_code(EAGAIN, asio::error::get_system_category()), milliseconds(50),
     milliseconds(0)},
    {"out of descriptors", system_error(EMFILE), milliseconds(50), milliseconds(100)},
    {"out of descriptors system-wide", system_error(ENFILE), milliseconds(50), milliseconds(100)},
    {"out of memory", system_error(ENOMEM), milliseconds(50), milliseconds(100)},
    {"bad descriptor", system_error(EBADF), std::nullopt, milliseconds(100)},
    {"not a socket", system_error(ENOTSOCK), std::nullopt, milliseconds(100)},
    {"operation not supported (asio's category)", asio::error::make_error_code(asio::error::operation_not_supported),
     std::nullopt, milliseconds(100)},
    {"end of stream (asio's misc category)", asio::error::eof, std::nullopt, milliseconds(100)},
};

TEST(RetryPolicy, PausesAfterEachKindOfError) {
    log::testing::Capture quiet("off");
    for (const PauseCase& c : kPauseCases) {
        EXPECT_EQ(retry_policy(kStopping)(c.error, true), c.stopping) << c.what;
        EXPECT_EQ(retry_policy(kEndless)(c.error, true), c.endless) << c.what;
    }
}

// The binary RPC socket's policy is of the endless kind, in its own words: one warning an
// episode, a new attempt at once after a failure of one connection or one call, 100 ms
// after anything lasting, and never an end.
TEST(RetryPolicy, TheBinarySocketRetriesEveryErrorAndWarnsInItsOwnWords) {
    const AcceptErrorPolicy policy = retry_policy(tarpc_server::kAcceptRetry);
    log::testing::Capture capture("warn");
    for (const PauseCase& c : kPauseCases) EXPECT_EQ(policy(c.error, false), c.endless) << c.what;
    EXPECT_EQ(capture.events(), std::vector<std::string>{});  // none was the first of its episode

    EXPECT_EQ(policy(system_error(EMFILE), true), milliseconds(100));
    EXPECT_EQ(capture.events(), std::vector<std::string>{" WARN quillfern_server::tarpc_server: tarpc accept error: "
                                                         "Too many open files (os error 24)"});
}

}  // namespace
}  // namespace quillfern::server
