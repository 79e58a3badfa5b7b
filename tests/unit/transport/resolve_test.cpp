// Address texts: Unix-domain paths, socket-address literals and "host:port" resolution.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/un.h>

#include <optional>
#include <string>
#include <vector>

#include <fmt/format.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include "quillfern/transport.hpp"
#include "run_task.hpp"

namespace quillfern::transport {
namespace {

using namespace std::string_literals;

using ::quillfern::testing::run_task;
// A lookup's thread holds work on the context until just after it has posted the answer:
// each resolve runs until the context is idle, so that the context outlives that hold.
using ::quillfern::testing::RunUntil;

// "127.0.0.1:80", "[::1]:80", "[fe80::1%3]:80" or "unix:<path>".
std::string describe(const SocketAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    switch (address.data()->sa_family) {
        case AF_INET: {
            const auto* v4 = reinterpret_cast<const sockaddr_in*>(address.data());
            ::inet_ntop(AF_INET, &v4->sin_addr, text, sizeof(text));
            return fmt::format("{}:{}", text, ntohs(v4->sin_port));
        }
        case AF_INET6: {
            const auto* v6 = reinterpret_cast<const sockaddr_in6*>(address.data());
            ::inet_ntop(AF_INET6, &v6->sin6_addr, text, sizeof(text));
            std::string scope = v6->sin6_scope_id != 0 ? fmt::format("%{}", v6->sin6_scope_id) : "";
            return fmt::format("[{}{}]:{}", text, scope, ntohs(v6->sin6_port));
        }
        default: return "family " + std::to_string(address.data()->sa_family);
    }
}

// ---------------------------------------------------------------------------------------
// Unix-domain socket addresses

TEST(UnixSocketAddress, KeepsTheWholePathWithItsTerminatingNul) {
    std::string path(107, 'p');
    auto address = unix_socket_address(path);
    ASSERT_TRUE(address.has_value());
    const auto* un = reinterpret_cast<const sockaddr_un*>(address->data());
    EXPECT_EQ(un->sun_family, AF_UNIX);
    EXPECT_EQ(std::string(un->sun_path), path);
    EXPECT_EQ(address->size(), offsetof(sockaddr_un, sun_path) + path.size() + 1);
}

struct BadPathCase {
    std::string name;
    std::string path;
    std::string message;
};

class UnixSocketAddressRefuses : public ::testing::TestWithParam<BadPathCase> {};

TEST_P(UnixSocketAddressRefuses, AsInvalidInput) {
    auto address = unix_socket_address(GetParam().path);
    ASSERT_FALSE(address.has_value());
    EXPECT_EQ(address.error().kind(), IoErrorKind::InvalidInput);
    EXPECT_EQ(address.error().message(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, UnixSocketAddressRefuses,
    ::testing::Values(BadPathCase{"Length108", std::string(108, 'p'), "path must be shorter than SUN_LEN"},
                      BadPathCase{"Length300", std::string(300, 'p'), "path must be shorter than SUN_LEN"},
                      BadPathCase{"NulInside", "/tmp/a\0b.sock"s, "paths must not contain interior null bytes"},
                      BadPathCase{"LeadingNul", "\0abstract"s, "paths must not contain interior null bytes"},
                      // The NUL check comes first, even for a path that is also too long.
                      BadPathCase{"NulAndTooLong", std::string(200, 'p') + '\0',
                                  "paths must not contain interior null bytes"}),
    [](const auto& info) { return info.param.name; });

// ---------------------------------------------------------------------------------------
// Socket-address literals

struct LiteralCase {
    std::string text;
    std::optional<std::string> address;  // as `describe` writes it; none when not a literal
};

class SocketAddressLiteral : public ::testing::TestWithParam<LiteralCase> {};

TEST_P(SocketAddressLiteral, ParsesOnlyCompleteLiterals) {
    auto parsed = parse_socket_address_literal(GetParam().text);
    if (!GetParam().address) {
        EXPECT_FALSE(parsed.has_value()) << describe(*parsed);
        return;
    }
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(describe(*parsed), *GetParam().address);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, SocketAddressLiteral,
    ::testing::Values(LiteralCase{"127.0.0.1:7800", "127.0.0.1:7800"}, LiteralCase{"0.0.0.0:0", "0.0.0.0:0"},
                      LiteralCase{"255.255.255.255:65535", "255.255.255.255:65535"},
                      LiteralCase{"10.0.0.1:00080", "10.0.0.1:80"}, LiteralCase{"[::1]:8080", "[::1]:8080"},
                      LiteralCase{"[fe80::1%3]:1", "[fe80::1%3]:1"},
                      LiteralCase{"[::ffff:1.2.3.4]:9", "[::ffff:1.2.3.4]:9"},
                      LiteralCase{"127.0.0.1:65536", std::nullopt}, LiteralCase{"127.0.0.1:+80", std::nullopt},
                      LiteralCase{"127.0.0.1:", std::nullopt}, LiteralCase{"127.0.0.1", std::nullopt},
                      LiteralCase{"127.0.0.01:80", std::nullopt}, LiteralCase{"256.0.0.1:80", std::nullopt},
                      LiteralCase{"1.2.3:80", std::nullopt}, LiteralCase{" 1.2.3.4:80", std::nullopt},
                      LiteralCase{"1.2.3.4:80 ", std::nullopt}, LiteralCase{"::1:80", std::nullopt},
                      LiteralCase{"[::1]", std::nullopt}, LiteralCase{"[::1]80", std::nullopt},
                      LiteralCase{"[::1%x]:80", std::nullopt}, LiteralCase{"[127.0.0.1]:80", std::nullopt},
                      LiteralCase{"localhost:80", std::nullopt}, LiteralCase{"", std::nullopt}));

// ---------------------------------------------------------------------------------------
// "host:port" resolution

struct ResolveCase {
    std::string name;
    std::string text;
    std::vector<std::string> addresses;  // expected on success
    std::string error;                   // expected message on failure
    IoErrorKind kind = IoErrorKind::InvalidInput;
};

class Resolve : public ::testing::TestWithParam<ResolveCase> {
protected:
    asio::io_context io;
};

TEST_P(Resolve, GivesAddressesOrTheFixedError) {
    auto resolved = run_task(io, resolve(GetParam().text), RunUntil::Idle);
    if (GetParam().error.empty()) {
        ASSERT_TRUE(resolved.has_value()) << resolved.error().message();
        std::vector<std::string> described;
        for (const auto& address : *resolved) described.push_back(describe(address));
        EXPECT_EQ(described, GetParam().addresses);
    } else {
        ASSERT_FALSE(resolved.has_value());
        EXPECT_EQ(resolved.error().message(), GetParam().error);
        EXPECT_EQ(resolved.error().kind(), GetParam().kind);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, Resolve,
    ::testing::Values(ResolveCase{"V4Literal", "127.0.0.1:7800", {"127.0.0.1:7800"}, "", {}},
                      ResolveCase{"V6Literal", "[::1]:7800", {"[::1]:7800"}, "", {}},
                      // Not a literal: split at the last ':' and the host "::1" goes to the resolver.
                      ResolveCase{"BareV6Host", "::1:7800", {"[::1]:7800"}, "", {}},
                      // The port of a host name reads like an unsigned integer: one '+' is allowed.
                      ResolveCase{"NumericHostSignedPort", "127.0.0.1:+80", {"127.0.0.1:80"}, "", {}},
                      ResolveCase{"NoColon", "localhost", {}, "invalid socket address"},
                      ResolveCase{"EmptyText", "", {}, "invalid socket address"},
                      ResolveCase{"EmptyPort", "localhost:", {}, "invalid port value"},
                      ResolveCase{"PortTooLarge", "localhost:65536", {}, "invalid port value"},
                      ResolveCase{"LiteralPortTooLarge", "1.2.3.4:99999", {}, "invalid port value"},
                      ResolveCase{"NegativePort", "localhost:-1", {}, "invalid port value"},
                      ResolveCase{"BlankInPort", "localhost:8 0", {}, "invalid port value"},
                      ResolveCase{"BracketsWithoutPort", "[::1]", {}, "invalid port value"},
                      ResolveCase{"NulInHost", "local\0host:80"s, {}, "file name contained an unexpected NUL byte"},
                      ResolveCase{"EmptyHost",
                                  ":80",
                                  {},
                                  "failed to lookup address information: Name or service not known",
                                  IoErrorKind::Other}),
    [](const auto& info) { return info.param.name; });

TEST(ResolveHostName, LocalhostGivesLoopbackAddressesWithThePort) {
    asio::io_context io;
    auto resolved = run_task(io, resolve("localhost:7800"), RunUntil::Idle);
    ASSERT_TRUE(resolved.has_value()) << resolved.error().message();
    ASSERT_FALSE(resolved->empty());
    for (const auto& address : *resolved) {
        EXPECT_THAT(describe(address), ::testing::AnyOf("127.0.0.1:7800", "[::1]:7800"));
    }
}

}  // namespace
}  // namespace quillfern::transport
