#include "quillfern/accept.hpp"

#include <cerrno>

#include <gtest/gtest.h>
#include <asio/error.hpp>

namespace quillfern::server {
namespace {

// asio reports errno values in a category of its own: both must be recognised.
TEST(AcceptErrors, TransientErrnoValuesMatchInEitherCategory) {
    struct Case {
        int value;
        bool transient;
    };
    const Case cases[] = {{EMFILE, true}, {ENFILE, true}, {ENOBUFS, true}, {ENOMEM, true},   {ECONNABORTED, true},
                          {EINTR, true},  {EBADF, false}, {EINVAL, false}, {ENOTSOCK, false}};
    for (const Case& c : cases) {
        EXPECT_EQ(is_transient_accept_error(std::error_code(c.value, std::system_category())), c.transient) << c.value;
        EXPECT_EQ(is_transient_accept_error(std::error_code(c.value, asio::error::get_system_category())), c.transient)
            << c.value;
    }
    EXPECT_FALSE(is_transient_accept_error(asio::error::eof));
}

}  // namespace
}  // namespace quillfern::server
