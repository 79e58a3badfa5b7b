// gossip.inject reads its params straight from the text wherever the method is named:
// params before or after the method take the same members and give the same reply. A
// line in its plain form is read in one pass and answers as the full reading does.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "dispatch_fixture.hpp"
#include "envelope.hpp"
#include "quillfern/dispatch.hpp"

namespace quillfern::dispatch {
namespace {

using testing::kNow;
using testing::parse_json;

const std::string kParseError = R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
const std::string ACCEPTED = R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Accepted"}})";
const std::string TOPIC_ERROR =
    R"x({"id":1,"jsonrpc":"2.0","result":{"error":"Invalid or missing 'topic' (varne|data|compute)"}})x";
const std::string KEY_ERROR = R"({"id":1,"jsonrpc":"2.0","result":{"error":"Missing 'key'"}})";

class InjectParams : public ::testing::Test {
protected:
    std::string call(const std::shared_ptr<gossip::GossipStore>& store, std::string_view line) {
        return testing::run_task(ctx_, handle_request(line, store));
    }

    asio::io_context ctx_;
};

struct ParamsCase {
    const char* params;
    std::string reply;
    const char* stored_key;      // null when nothing is stored
    const char* stored_payload;  // the stored entry's payload
};

// Each case with the method before params and after it, each on a fresh store.
TEST_F(InjectParams, MemberOrderDoesNotChangeTheOutcome) {
    const ParamsCase cases[] = {
        {R"({"topic":"data","key":"k","payload":{"b":1,"a":[true,null]}})", ACCEPTED, "k",
         R"({"a":[true,null],"b":1})"},
        {R"({"payload":7,"key":"k","topic":"data"})", ACCEPTED, "k", "7"},
        {R"({"topic":"meta","topic":"data","key":"k"})", ACCEPTED, "k", "{}"},
        {R"({"topic":"data","topic":1,"key":"k"})", TOPIC_ERROR, nullptr, nullptr},
        {R"({"topic":"data","key":"first","key":"last"})", ACCEPTED, "last", "{}"},
        {R"({"topic":"data","key":"k","key":null})", KEY_ERROR, nullptr, nullptr},
        {R"({"topic":"data","key":"k","payload":1,"payload":[2]})", ACCEPTED, "k", "[2]"},
        {R"({"topic":"data","key":"k","payload":null})", ACCEPTED, "k", "null"},
        {R"({"to\u0070ic":"data","key":"\u006b","extra":{"x":[1,2]}})", ACCEPTED, "k", "{}"},
        {R"({"key":"k"})", TOPIC_ERROR, nullptr, nullptr},
        {R"({"topic":"data","key":"k","extra":[1,]})", kParseError, nullptr, nullptr},
        {R"({"topic":"data","key":"k",})", kParseError, nullptr, nullptr},
        {R"({"topic":"data","key":"k")", kParseError, nullptr, nullptr},
        {R"(["data","k"])", TOPIC_ERROR, nullptr, nullptr},
    };
    for (const ParamsCase& c : cases) {
        for (bool method_first : {true, false}) {
            SCOPED_TRACE(std::string(c.params) + (method_first ? " (method first)" : " (params first)"));
            const std::string line =
                method_first ? std::string(R"({"id":1,"method":"gossip.inject","params":)") + c.params + "}"
                             : std::string(R"({"params":)") + c.params + R"(,"id":1,"method":"gossip.inject"})";
            auto store = testing::make_started_store();
            EXPECT_EQ(call(store, line), c.reply);
            auto entries = store->query(gossip::Topic::Data, std::nullopt);
            if (c.stored_key == nullptr) {
                EXPECT_TRUE(entries.empty());
                continue;
            }
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_EQ(gossip::text_of(entries.front().key), c.stored_key);
            EXPECT_EQ(gossip::payload_of(entries.front().payload), parse_json(c.stored_payload));
        }
    }
}

TEST_F(InjectParams, TheLastMethodAndTheLastParamsCount) {
    auto store = testing::make_started_store();
    // The last method counts: params read for gossip.inject serve gossip.query instead.
    EXPECT_EQ(
        call(store, R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"},"method":"gossip.query"})"),
        R"({"id":1,"jsonrpc":"2.0","result":{"count":0,"entries":[],"topic":"data"}})");
    EXPECT_TRUE(store->query(gossip::Topic::Data, std::nullopt).empty());
    EXPECT_EQ(call(store, R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"},"method":"nope"})"),
              R"({"error":{"code":-32601,"message":"Method not found"},"id":1,"jsonrpc":"2.0"})");
    // The last params counts.
    EXPECT_EQ(
        call(store,
             R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"},"params":{"topic":"data"}})"),
        KEY_ERROR);
    EXPECT_EQ(
        call(store,
             R"({"id":1,"method":"gossip.inject","params":{"topic":"data"},"params":{"topic":"data","key":"k"}})"),
        ACCEPTED);
    EXPECT_EQ(call(store, R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"a"},"params":null})"),
              TOPIC_ERROR);
}

TEST_F(InjectParams, NestingLimitCountsTheEnvelopeAndParams) {
    // Envelope and params are two levels; values nested 128 levels deep are refused.
    auto payload = [](int depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    for (bool method_first : {true, false}) {
        SCOPED_TRACE(method_first ? "method first" : "params first");
        for (auto [depth, reply] : {std::pair{125, ACCEPTED}, std::pair{126, kParseError}}) {
            const std::string params = R"({"topic":"data","key":"k","payload":)" + payload(depth) + "}";
            const std::string line = method_first ? R"({"id":1,"method":"gossip.inject","params":)" + params + "}"
                                                  : R"({"params":)" + params + R"(,"id":1,"method":"gossip.inject"})";
            EXPECT_EQ(call(testing::make_started_store(), line), reply) << depth;
        }
    }
}

// ---- The plain form ---------------------------------------------------------------------

// Whether the line's envelope reads in its plain form up to the params.
bool opens_plain(std::string_view line) {
    const std::optional<detail::PlainRequest> request = detail::PlainRequest::open(line);
    return request && request->method() == "gossip.inject";
}

// The text with each nonce's value left out: the nonces of local entries are this
// process's own, different at each inject.
std::string without_nonces(std::string text) {
    const std::string_view member = R"("nonce":")";
    for (std::size_t at = text.find(member); at != std::string::npos; at = text.find(member, at + member.size())) {
        const std::size_t end = text.find('"', at + member.size());
        text.erase(at + member.size(), end - at - member.size());
    }
    return text;
}

// Each line on a fresh store, as it stands and with a member the plain reading declines in
// front (so read in full): the same reply, the same entry, the same forward copy.
TEST_F(InjectParams, PlainLinesAnswerAsTheFullReading) {
    const std::string deep = std::string(70, '[') + std::string(70, ']');
    const struct {
        std::string line;
        std::string reply;  // empty: only the agreement is checked
    } cases[] = {
        {R"({"jsonrpc":"2.0","id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":{"v":"x"}}})",
         ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"payload":[1,-2,true,null,"é"],"key":"k","topic":"compute"}})",
         R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Accepted"}})"},
        {R"({"id":"a-1","method":"gossip.inject","params":{"topic":"data","key":"k"},"jsonrpc":"2.0"})",
         R"({"id":"a-1","jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Accepted"}})"},
        {R"( { "id" : null , "method" : "gossip.inject" , "params" : { "topic" : "varne" , "key" : "k" , )"
         R"("payload" : 12 } } )",
         R"({"id":null,"jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Accepted"}})"},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"","payload":"t"}})", ""},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":")" + std::string(300, 'k') + R"("}})", ""},
        // Declined by the plain reading, each for a reason of its own.
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":{"b":1,"a":2}}})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":{ "a":2}}})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":1.5}})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":)" + deep + "}}", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"}})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"a","key":"k"}})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","extra":1}})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"meta","key":"k"}})", TOPIC_ERROR},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data"}})", KEY_ERROR},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"},"method":"gossip.inject"})", ACCEPTED},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"}})"
         "x",
         kParseError},
        {R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k"})", kParseError},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.line);
        EXPECT_TRUE(opens_plain(c.line));
        ASSERT_FALSE(opens_plain(testing::read_in_full(c.line)));
        auto plain = testing::make_started_store();
        auto full = testing::make_started_store();
        const std::string reply = call(plain, c.line);
        EXPECT_EQ(reply, call(full, testing::read_in_full(c.line)));
        if (!c.reply.empty()) {
            EXPECT_EQ(reply, c.reply);
        }
        EXPECT_EQ(without_nonces(testing::contents(*plain)), without_nonces(testing::contents(*full)));
    }
}

}  // namespace
}  // namespace quillfern::dispatch
