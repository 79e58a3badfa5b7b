#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "quillfern/protocol_negotiation.hpp"

namespace quillfern::protocol_negotiation {
namespace {

std::string name_of(std::optional<IpcProtocol> protocol) { return protocol ? std::string(protocol->text()) : "none"; }

TEST(IpcProtocolTest, ParsesNamesTrimmedAndWithoutAsciiCase) {
    struct Case {
        std::string_view name;
        std::string_view expected;
    };
    const Case cases[] = {
        {"jsonrpc", "jsonrpc"},
        {"json-rpc", "jsonrpc"},
        {"json_rpc", "jsonrpc"},
        {" JSON-RPC ", "jsonrpc"},
        {"Json_Rpc", "jsonrpc"},
        {"\tjsonrpc\r\n", "jsonrpc"},
        {"tarpc", "tarpc"},
        {"TARPC", "tarpc"},
        {"binary", "tarpc"},
        {"BINARY", "tarpc"},
        {"\u00A0Binary\u3000", "tarpc"},  // Unicode white space is trimmed too
        {"", "none"},
        {"  ", "none"},
        {"json rpc", "none"},
        {"jsonrpc2", "none"},
        {"grpc", "none"},
        {"BİNARY", "none"},  // a non-ASCII capital is not folded
        {"jsonrpc,tarpc", "none"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(name_of(IpcProtocol::parse(c.name)), c.expected) << "name: \"" << c.name << "\"";
    }
}

TEST(IpcProtocolTest, TextIsTheWireName) {
    EXPECT_EQ(IpcProtocol(IpcProtocol::JsonRpc).text(), "jsonrpc");
    EXPECT_EQ(IpcProtocol(IpcProtocol::Tarpc).text(), "tarpc");
}

class NegotiateTimeoutTest : public ::testing::Test {
protected:
    static constexpr const char* kVariable = "NEGOTIATE_TIMEOUT_MS";
    // Restores the variable that the tests set.
    ::quillfern::testing::EnvGuard timeout_{kVariable};
};

TEST_F(NegotiateTimeoutTest, ReadsAnUnsignedDecimalElseTheDefault) {
    struct Case {
        std::string_view value;
        std::uint64_t expected;
    };
    const Case cases[] = {
        {"250", 250},  {"+250", 250},
        {"0", 0},      {"18446744073709551615", std::numeric_limits<std::uint64_t>::max()},
        {"", 100},     {" 250", 100},
        {"250 ", 100}, {"-1", 100},
        {"1e3", 100},  {"abc", 100},
        {"+", 100},    {"++1", 100},
        {"2.5", 100},  {"18446744073709551616", 100},
        {"\xFF", 100},  // not UTF-8: counts as unset
    };
    for (const Case& c : cases) {
        ::setenv(kVariable, std::string(c.value).c_str(), 1);
        EXPECT_EQ(negotiate_timeout(), c.expected) << "NEGOTIATE_TIMEOUT_MS=\"" << c.value << "\"";
    }
}

TEST_F(NegotiateTimeoutTest, UnsetGivesTheDefault) {
    ::unsetenv(kVariable);
    EXPECT_EQ(negotiate_timeout(), 100u);
}

TEST_F(NegotiateTimeoutTest, IsReadAnewAtEveryCall) {
    ::setenv(kVariable, "7", 1);
    EXPECT_EQ(negotiate_timeout(), 7u);
    ::setenv(kVariable, "9", 1);
    EXPECT_EQ(negotiate_timeout(), 9u);
}

}  // namespace
}  // namespace quillfern::protocol_negotiation
