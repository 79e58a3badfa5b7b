// append_reply: the reply lands after what the buffer already holds, byte for byte the
// reply handle_request gives; and the envelope reader's corner cases (members read
// straight from the text, the rest checked and dropped).
#include <string>

#include <gtest/gtest.h>

#include "dispatch_fixture.hpp"
#include "quillfern/dispatch.hpp"

namespace quillfern::dispatch {
namespace {

using testing::EnvGuard;
using testing::kNow;
using testing::TempDir;

const std::string kParseError = R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
const std::string LIVENESS_1 = R"({"id":1,"jsonrpc":"2.0","result":{"alive":true}})";

std::string method_not_found(const std::string& id) {
    return R"({"error":{"code":-32601,"message":"Method not found"},"id":)" + id + R"(,"jsonrpc":"2.0"})";
}

class AppendReply : public ::testing::Test {
protected:
    // The buffer after one append_reply onto `before`.
    std::string append(std::string before, std::string_view line) {
        testing::run_task(ctx_, wrap(before, line));
        return before;
    }
    std::string call(std::string_view line) { return testing::run_task(ctx_, handle_request(line, store_)); }

    TempDir dir_;
    EnvGuard thornkit_{"QUILLFERN_THORNKIT_SOCK", dir_.file("absent.sock")};
    asio::io_context ctx_;
    std::shared_ptr<gossip::GossipStore> store_ = testing::make_started_store();

private:
    asio::awaitable<bool> wrap(std::string& out, std::string_view line) {
        co_await append_reply(out, line, store_);
        co_return true;
    }
};

TEST_F(AppendReply, KeepsWhatTheBufferHolds) {
    const std::string earlier = LIVENESS_1 + "\n";
    EXPECT_EQ(append(earlier, R"({"id":1,"method":"health.liveness"})"), earlier + LIVENESS_1);
    EXPECT_EQ(append(earlier, "{"), earlier + kParseError);
    EXPECT_EQ(append(earlier, R"({"id":9,"method":"x"})"), earlier + method_not_found("9"));
    // A spread, the one method that waits on other services, too.
    EXPECT_EQ(append(earlier, R"({"id":2,"method":"gossip.spread","params":{"entries":[]}})"),
              earlier + R"({"id":2,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})");
}

TEST_F(AppendReply, InjectRepliesAndStoresLikeHandleRequest) {
    const std::string line = R"({"id":3,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":[1]}})";
    EXPECT_EQ(append("x", line), R"(x{"id":3,"jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Accepted"}})");
    EXPECT_EQ(call(line), R"({"id":3,"jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Duplicate"}})");
    const auto entries = store_->query(gossip::Topic::Data, std::nullopt);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(gossip::payload_of(entries[0].payload), json::Value::array({1}));
}

struct EnvelopeCase {
    friend void PrintTo(const EnvelopeCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::string line;
    std::string reply;
};

class Envelope : public AppendReply, public ::testing::WithParamInterface<EnvelopeCase> {};

TEST_P(Envelope, AnswersExactly) {
    EXPECT_EQ(call(GetParam().line), GetParam().reply);
    EXPECT_EQ(append("", GetParam().line), GetParam().reply);
}

INSTANTIATE_TEST_SUITE_P(
    Members, Envelope,
    ::testing::Values(
        // The last method counts, also when it is not a string.
        EnvelopeCase{"MethodThenNumber", R"({"id":1,"method":"health.liveness","method":7})", method_not_found("1")},
        EnvelopeCase{"NumberThenMethod", R"({"id":1,"method":7,"method":"health.liveness"})", LIVENESS_1},
        EnvelopeCase{"MethodObject", R"({"id":1,"method":{"a":"health.liveness"}})", method_not_found("1")},
        EnvelopeCase{"MethodEscaped", R"({"id":1,"method":"health\u002eliveness"})", LIVENESS_1},
        EnvelopeCase{"RepeatedParams",
                     R"({"id":1,"method":"gossip.query","params":{"topic":"nope"},"params":{"topic":"data"}})",
                     R"({"id":1,"jsonrpc":"2.0","result":{"count":0,"entries":[],"topic":"data"}})"},
        EnvelopeCase{"EscapedMemberName", R"({"\u0069d":4,"method":"health.liveness"})",
                     R"({"id":4,"jsonrpc":"2.0","result":{"alive":true}})"},
        // Members that are dropped are still read by the rules: a bad one spoils the line.
        EnvelopeCase{"BadDroppedString", "{\"id\":1,\"method\":\"health.liveness\",\"x\":\"a\x01\"}", kParseError},
        EnvelopeCase{"BadDroppedLiteral", R"({"id":1,"method":"health.liveness","jsonrpc":tru})", kParseError},
        EnvelopeCase{"BadMethodLiteral", R"({"id":1,"method":nul})", kParseError},
        EnvelopeCase{"UnterminatedMethod", R"({"id":1,"method":"health.liveness)", kParseError},
        EnvelopeCase{"TrailingComma", R"({"id":1,"method":"health.liveness",})", kParseError},
        EnvelopeCase{"MissingColon", R"({"id" 1,"method":"health.liveness"})", kParseError},
        EnvelopeCase{"KeyNotString", R"({1:2,"method":"health.liveness"})", kParseError},
        EnvelopeCase{"EmptyObject", "{}", method_not_found("null")},
        EnvelopeCase{"LeadingWhitespaceObject", " \t{\"id\":1,\"method\":\"health.liveness\"}", LIVENESS_1},
        EnvelopeCase{"ArrayWithTrailingText", "[1] 2", kParseError}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillfern::dispatch
