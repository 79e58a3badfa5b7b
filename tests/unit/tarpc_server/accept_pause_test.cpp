// The binary socket after a failed accept: one warning an episode, a new attempt at once
// after a failure of one connection or one call, 100 ms after anything lasting, and never
// an end.
#include <cerrno>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>
#include <asio/error.hpp>

#include "quillfern/log.hpp"
#include "quillfern/tarpc_server.hpp"

namespace quillfern::tarpc_server {
namespace {

TEST(AcceptErrorPause, OnlyLastingFailuresWait) {
    struct Case {
        std::error_code error;
        long pause_ms;
    };
    const Case cases[] = {
        {std::error_code(ECONNABORTED, std::system_category()), 0},
        {std::error_code(EINTR, std::generic_category()), 0},
        {std::error_code(EAGAIN, asio::error::get_system_category()), 0},
        {std::error_code(EMFILE, std::system_category()), 100},
        {std::error_code(ENFILE, std::system_category()), 100},
        {std::error_code(ENOMEM, std::system_category()), 100},
        {std::error_code(EBADF, std::system_category()), 100},
        {asio::error::make_error_code(asio::error::operation_not_supported), 100},
    };
    const server::AcceptErrorPolicy policy = server::retry_policy(kAcceptRetry);
    log::testing::Capture capture("warn");
    for (const Case& c : cases) {
        const auto pause = policy(c.error, false);
        ASSERT_TRUE(pause.has_value()) << c.error.message();
        EXPECT_EQ(pause->count(), c.pause_ms) << c.error.message();
    }
    EXPECT_EQ(capture.events(), std::vector<std::string>{});  // none was the first of its episode

    EXPECT_EQ(policy(std::error_code(EMFILE, std::system_category()), true), std::chrono::milliseconds(100));
    EXPECT_EQ(capture.events(), std::vector<std::string>{" WARN quillfern_server::tarpc_server: tarpc accept error: "
                                                         "Too many open files (os error 24)"});
}

}  // namespace
}  // namespace quillfern::tarpc_server
