// The display texts of the engine's error kinds.
#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/core_error.hpp"

namespace quillfern::core {
namespace {

TEST(CoreError, EachKindPrintsItsPrefix) {
    struct Case {
        CoreError error;
        CoreError::Kind kind;
        std::string text;
    };
    const Case cases[] = {
        {CoreError::configuration("bad port"), CoreError::Kind::Configuration, "configuration error: bad port"},
        {CoreError::lifecycle("cannot start from current state"), CoreError::Kind::Lifecycle,
         "lifecycle error: cannot start from current state"},
        {CoreError::health("degraded"), CoreError::Kind::Health, "health error: degraded"},
        {CoreError::io(IoError::from_os(ENOENT)), CoreError::Kind::Io,
         "I/O error: No such file or directory (os error 2)"},
        {CoreError::serialization("eof"), CoreError::Kind::Serialization, "serialization error: eof"},
        {CoreError::network("unreachable"), CoreError::Kind::Network, "network error: unreachable"},
        {CoreError::timeout("spread"), CoreError::Kind::Timeout, "operation timed out: spread"},
        {CoreError::not_found("peer"), CoreError::Kind::NotFound, "not found: peer"},
        {CoreError::invalid_input("key"), CoreError::Kind::InvalidInput, "invalid input: key"},
        {CoreError::internal("bug"), CoreError::Kind::Internal, "internal error: bug"},
        {CoreError::dependency("thornKit", "refused"), CoreError::Kind::Dependency,
         "dependency error: thornKit: refused"},
        {CoreError::configuration(""), CoreError::Kind::Configuration, "configuration error: "},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.error.kind(), c.kind) << c.text;
        EXPECT_EQ(c.error.to_string(), c.text);
    }
    EXPECT_EQ(static_cast<int>(CoreError::Kind::Dependency), 10);
}

TEST(CoreError, CarriedValuesStayReadable) {
    CoreError io = CoreError::io(IoError::from_os(ECONNREFUSED));
    ASSERT_NE(io.io_error(), nullptr);
    EXPECT_EQ(io.io_error()->os_code(), ECONNREFUSED);
    EXPECT_EQ(io.text(), "Connection refused (os error 111)");

    CoreError dependency = CoreError::dependency("reedHorn", "no socket");
    EXPECT_EQ(dependency.text(), "reedHorn");
    EXPECT_EQ(dependency.detail(), "no socket");
    EXPECT_EQ(dependency.io_error(), nullptr);
}

}  // namespace
}  // namespace quillfern::core
