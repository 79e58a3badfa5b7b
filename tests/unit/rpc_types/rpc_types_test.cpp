#include <string>

#include <gtest/gtest.h>

#include "quillfern/rpc_types.hpp"
#include "success_response.hpp"

namespace quillfern::rpc_types {
namespace {

json::Value parsed(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value ? *value : json::Value();
}

struct ErrorCase {
    const char* id_json;
    std::int32_t code;
    std::string_view message;
    const char* expected;
};

class ErrorResponse : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(ErrorResponse, WritesKeysInByteOrder) {
    const ErrorCase& c = GetParam();
    EXPECT_EQ(jsonrpc_error_response(parsed(c.id_json), c.code, c.message), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, ErrorResponse,
    ::testing::Values(ErrorCase{"null", kParseError, kParseErrorMessage,
                                R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})"},
                      ErrorCase{"7", kMethodNotFound, kMethodNotFoundMessage,
                                R"({"error":{"code":-32601,"message":"Method not found"},"id":7,"jsonrpc":"2.0"})"},
                      ErrorCase{R"("a\"b")", 0, "quote \" and\nline",
                                R"({"error":{"code":0,"message":"quote \" and\nline"},"id":"a\"b","jsonrpc":"2.0"})"},
                      ErrorCase{"[1,{\"z\":1,\"a\":2}]", 2147483647, "",
                                R"({"error":{"code":2147483647,"message":""},"id":[1,{"a":2,"z":1}],"jsonrpc":"2.0"})"},
                      ErrorCase{"-1", -2147483647 - 1, "m",
                                R"({"error":{"code":-2147483648,"message":"m"},"id":-1,"jsonrpc":"2.0"})"}));

struct SuccessCase {
    const char* id_json;
    const char* result_json;
    const char* expected;
};

class SuccessResponse : public ::testing::TestWithParam<SuccessCase> {};

TEST_P(SuccessResponse, CopiesIdAndResultAsValues) {
    const SuccessCase& c = GetParam();
    json::Value id = parsed(c.id_json);
    json::Value result = parsed(c.result_json);
    EXPECT_EQ(jsonrpc_success_response(id, result), c.expected);

    std::string spliced = "prefix:";
    write_success_prefix(spliced, id);
    spliced += json::to_string(result) + '}';
    EXPECT_EQ(spliced, std::string("prefix:") + c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Envelopes, SuccessResponse,
    ::testing::Values(SuccessCase{"1", R"({"alive":true})", R"({"id":1,"jsonrpc":"2.0","result":{"alive":true}})"},
                      // An object id comes back with its keys sorted.
                      SuccessCase{R"({"topic":"data","key":"k"})", "null",
                                  R"({"id":{"key":"k","topic":"data"},"jsonrpc":"2.0","result":null})"},
                      // A line feed inside a result string never becomes a raw line end.
                      SuccessCase{"null", R"("a\nb\u0001")", R"({"id":null,"jsonrpc":"2.0","result":"a\nb\u0001"})"},
                      // Numbers come back in the writer's form of their parsed value.
                      SuccessCase{"1.50", "1E2", R"({"id":1.5,"jsonrpc":"2.0","result":100.0})"},
                      SuccessCase{"18446744073709551615", "-9223372036854775808",
                                  R"({"id":18446744073709551615,"jsonrpc":"2.0","result":-9223372036854775808})"},
                      SuccessCase{R"("é/")", "[]", R"({"id":"é/","jsonrpc":"2.0","result":[]})"}));

TEST(JsonRpcRequest, BuildsTheRequestObject) {
    json::Value request = jsonrpc_request(1, "metadata.analyze", json::Value::object());
    EXPECT_EQ(json::to_string(request), R"({"id":1,"jsonrpc":"2.0","method":"metadata.analyze","params":{}})");

    json::Value with_params = jsonrpc_request("x", "m", parsed(R"({"b":[1],"a":null})"));
    EXPECT_EQ(json::to_string(with_params), R"({"id":"x","jsonrpc":"2.0","method":"m","params":{"a":null,"b":[1]}})");
}

TEST(Constants, ListsAsJsonArrays) {
    json::Value methods = string_array(kMethodNames);
    ASSERT_EQ(methods.size(), 12u);
    EXPECT_EQ(methods.front(), "health.liveness");
    EXPECT_EQ(methods.back(), "gossip.subscribe");
    EXPECT_EQ(json::to_string(methods),
              R"(["health.liveness","health.readiness","health.check","capabilities.list","btsp.negotiate",)"
              R"("wendle.announce","gossip.spread","gossip.inject","gossip.query","gossip.status","gossip.peers",)"
              R"("gossip.subscribe"])");
    EXPECT_EQ(json::to_string(string_array(kCapabilities)), R"(["gossip"])");
    EXPECT_EQ(json::to_string(string_array(kSignalTiers)), R"(["varne","node","meta"])");
    EXPECT_EQ(json::to_string(string_array(kGossipDomains)), R"(["varne","data","compute"])");
    EXPECT_EQ(json::to_string(string_array(kTransports)), R"(["uds","tcp"])");
    EXPECT_EQ(kServiceVersion, "0.1.0");
    EXPECT_EQ(kServiceDisplayName, "quillFern");
}

struct HealthCase {
    HealthStatus status;
    const char* text;
};

class HealthText : public ::testing::TestWithParam<HealthCase> {};

TEST_P(HealthText, IsTheDebugForm) { EXPECT_EQ(health_text(GetParam().status), GetParam().text); }

INSTANTIATE_TEST_SUITE_P(
    Variants, HealthText,
    ::testing::Values(HealthCase{HealthStatus::healthy(), "Healthy"}, HealthCase{HealthStatus::unknown(), "Unknown"},
                      HealthCase{HealthStatus::degraded("disk full"), R"(Degraded { reason: "disk full" })"},
                      HealthCase{HealthStatus::unhealthy(""), R"(Unhealthy { reason: "" })"},
                      HealthCase{HealthStatus::degraded("say \"hi\" \\ o'k"),
                                 R"(Degraded { reason: "say \"hi\" \\ o'k" })"},
                      HealthCase{HealthStatus::degraded(std::string("a\nb\tc\rd\0e\x1b\x7f", 11)),
                                 R"(Degraded { reason: "a\nb\tc\rd\0e\u{1b}\u{7f}" })"},
                      HealthCase{HealthStatus::degraded("\xC2\x85 é"), R"(Degraded { reason: "\u{85} é" })"}));

TEST(HealthStatus, FollowsTheStoresLifecycle) {
    EXPECT_EQ(HealthStatus::of_store(true), HealthStatus::healthy());
    EXPECT_EQ(HealthStatus::of_store(false), HealthStatus::unknown());
}

}  // namespace
}  // namespace quillfern::rpc_types
