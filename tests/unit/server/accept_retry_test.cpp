// The main socket and the cross-gate listener after a failed accept: each warns in its own
// words, retries a transient error after 50 ms and stops at any other.
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/log.hpp"
#include "quillfern/server.hpp"

namespace quillfern::server {
namespace {

TEST(ListenerAcceptRetry, EachListenerWarnsInItsOwnWords) {
    const struct {
        AcceptRetry retry;
        std::string warning;
    } cases[] = {
        {kMainAcceptRetry,
         " WARN quillfern_server::server: Accept error: Too many open files (os error 24) — retrying"},
        {kCrossGateAcceptRetry,
         " WARN quillfern_server: Cross-gate gossip accept error: Too many open files (os error 24) — retrying"},
    };
    for (const auto& c : cases) {
        log::testing::Capture capture("warn");
        const AcceptErrorPolicy policy = retry_policy(c.retry);
        EXPECT_EQ(policy(std::error_code(EMFILE, std::system_category()), true), std::chrono::milliseconds(50));
        EXPECT_EQ(policy(std::error_code(ECONNABORTED, std::system_category()), false), std::chrono::milliseconds(50));
        EXPECT_EQ(policy(std::error_code(EBADF, std::system_category()), false), std::nullopt);
        EXPECT_EQ(capture.events(), std::vector<std::string>{c.warning});
    }
}

}  // namespace
}  // namespace quillfern::server
