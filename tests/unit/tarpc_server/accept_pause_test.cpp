// The binary socket's pause after a failed accept: none for a failure of one connection
// or one call, 100 ms for anything lasting.
#include <cerrno>
#include <system_error>

#include <gtest/gtest.h>
#include <asio/error.hpp>

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
    for (const Case& c : cases) EXPECT_EQ(accept_error_pause(c.error).count(), c.pause_ms) << c.error.message();
}

}  // namespace
}  // namespace quillfern::tarpc_server
