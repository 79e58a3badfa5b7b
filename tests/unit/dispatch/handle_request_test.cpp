#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dispatch_fixture.hpp"
#include "quillfern/dispatch.hpp"
#include "quillfern/rpc_types.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::dispatch {
namespace {

using testing::EnvGuard;
using testing::kNow;
using testing::parse_json;
using testing::TempDir;

const std::string METHODS =
    R"(["health.liveness","health.readiness","health.check","capabilities.list","btsp.negotiate",)"
    R"("wendle.announce","gossip.spread","gossip.inject","gossip.query","gossip.status","gossip.peers",)"
    R"("gossip.subscribe"])";
const std::string kParseError = R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";
const std::string kCapabilities =
    R"({"gossip_domains":["varne","data","compute"],"methods":)" + METHODS +
    R"(,"protocol":"jsonrpc-2.0","transport":["uds","tcp"],"version":"0.1.0","wendle":"quillFern"})";
const std::string TOPIC_ERROR = R"x({"error":"Invalid or missing 'topic' (varne|data|compute)"})x";
const std::string NOTE = "Poll this method for updates. Broadcast channel is live for tarpc streaming subscribers.";

std::string method_not_found(const std::string& id) {
    return R"({"error":{"code":-32601,"message":"Method not found"},"id":)" + id + R"(,"jsonrpc":"2.0"})";
}
std::string success(const std::string& id, const std::string& result) {
    return R"({"id":)" + id + R"(,"jsonrpc":"2.0","result":)" + result + "}";
}
std::string nested_arrays(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// A started store on a clock of its own; thornKit's socket path names nothing, so batches are
// decided by the store alone.
class HandleRequest : public ::testing::Test {
protected:
    std::string call(std::string_view line) { return testing::run_task(ctx_, handle_request(line, store_)); }

    TempDir dir_;
    EnvGuard thornkit_{"QUILLFERN_THORNKIT_SOCK", dir_.file("absent.sock")};
    asio::io_context ctx_;
    std::shared_ptr<testing::FakeClock> clock_ = testing::FakeClock::at(kNow);
    std::shared_ptr<gossip::GossipStore> store_ = testing::make_started_store("gate-a", clock_);
};

struct ReplyCase {
    friend void PrintTo(const ReplyCase& c, std::ostream* os) { *os << c.name; }
    const char* name;
    std::string line;
    std::string reply;
};

class Replies : public HandleRequest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, AreExactBytes) { EXPECT_EQ(call(GetParam().line), GetParam().reply); }

INSTANTIATE_TEST_SUITE_P(
    Envelope, Replies,
    ::testing::Values(
        // Lines that are not exactly one JSON value.
        ReplyCase{"Empty", "", kParseError}, ReplyCase{"Blank", " \t", kParseError},
        ReplyCase{"Malformed", R"({"id":1,"method":"health.liveness")", kParseError},
        ReplyCase{"TwoValues", R"({"id":1,"method":"health.liveness"} {"id":2})", kParseError},
        ReplyCase{"TrailingText", R"({"id":1,"method":"health.liveness"}x)", kParseError},
        ReplyCase{"NumberOutOfRange", R"({"id":1e400,"method":"health.liveness"})", kParseError},
        ReplyCase{"NotUtf8", "{\"id\":\"\xFF\",\"method\":\"health.liveness\"}", kParseError},
        ReplyCase{"Nesting128", R"({"id":)" + nested_arrays(127) + R"(,"method":"health.liveness"})", kParseError},
        ReplyCase{"Nesting127", R"({"id":)" + nested_arrays(126) + R"(,"method":"health.liveness"})",
                  success(nested_arrays(126), R"({"alive":true})")},
        ReplyCase{"TrailingWhitespace", "{\"id\":3,\"method\":\"health.liveness\"} \t\r\n",
                  success("3", R"({"alive":true})")},
        // Values that are not a usable request.
        ReplyCase{"Batch", R"([{"id":1,"method":"health.liveness"}])", method_not_found("null")},
        ReplyCase{"String", R"("health.liveness")", method_not_found("null")},
        ReplyCase{"Number", "42", method_not_found("null")}, ReplyCase{"Null", "null", method_not_found("null")},
        ReplyCase{"NoMethod", R"({"id":5})", method_not_found("5")},
        ReplyCase{"MethodNotString", R"({"id":5,"method":7})", method_not_found("5")},
        ReplyCase{"EmptyMethod", R"({"id":5,"method":""})", method_not_found("5")},
        ReplyCase{"WrongCase", R"({"id":"a","method":"Health.Liveness"})", method_not_found(R"("a")")},
        ReplyCase{"TrailingBlankInName", R"({"id":1,"method":"health.liveness "})", method_not_found("1")},
        ReplyCase{"Prefix", R"({"id":1,"method":"health"})", method_not_found("1")},
        ReplyCase{"UnknownObjectId", R"({"id":{"topic":"t","key":"k"},"method":"x"})",
                  method_not_found(R"({"key":"k","topic":"t"})")},
        // Ids are copied as values.
        ReplyCase{"NoIdNoJsonrpc", R"({"method":"health.liveness"})", success("null", R"({"alive":true})")},
        ReplyCase{"StringId", R"({"id":"req-1","method":"health.liveness"})",
                  success(R"("req-1")", R"({"alive":true})")},
        ReplyCase{"ObjectId", R"({"id":{"z":1,"a":[true]},"method":"health.liveness"})",
                  success(R"({"a":[true],"z":1})", R"({"alive":true})")},
        ReplyCase{"ArrayId", R"({"id":[1,"x",null],"method":"health.liveness"})",
                  success(R"([1,"x",null])", R"({"alive":true})")},
        ReplyCase{"FloatId", R"({"id":1.0,"method":"health.liveness"})", success("1.0", R"({"alive":true})")},
        ReplyCase{"ExponentId", R"({"id":1e2,"method":"health.liveness"})", success("100.0", R"({"alive":true})")},
        ReplyCase{"NegativeId", R"({"id":-7,"method":"health.liveness"})", success("-7", R"({"alive":true})")},
        ReplyCase{"OtherMembersIgnored", R"({"jsonrpc":"1.0","id":2,"method":"health.liveness","x":[]})",
                  success("2", R"({"alive":true})")},
        ReplyCase{"RepeatedMemberLastWins", R"({"method":"nope","id":1,"method":"health.liveness","id":2})",
                  success("2", R"({"alive":true})")}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    Methods, Replies,
    ::testing::Values(
        ReplyCase{"Liveness", R"({"id":1,"method":"health.liveness","params":[1]})", success("1", R"({"alive":true})")},
        ReplyCase{"Readiness", R"({"id":1,"method":"health.readiness"})",
                  success("1", R"({"capabilities":)" + METHODS + R"(,"ready":true})")},
        ReplyCase{"Check", R"({"id":1,"method":"health.check"})",
                  success("1", R"({"liveness":true,"node_id":"gate-a","readiness":true,"status":"Healthy"})")},
        ReplyCase{"Capabilities", R"({"id":1,"method":"capabilities.list"})", success("1", kCapabilities)},
        ReplyCase{"CapabilityAlias", R"({"id":1,"method":"capability.list"})", success("1", kCapabilities)},
        ReplyCase{
            "Announce", R"({"id":1,"method":"wendle.announce"})",
            success("1", R"({"capabilities":["gossip"],"methods":)" + METHODS +
                             R"(,"signal_tiers":["varne","node","meta"],"version":"0.1.0","wendle":"quillFern"})")},
        ReplyCase{"Negotiate", R"({"id":1,"method":"btsp.negotiate"})",
                  success("1", R"({"cipher":"null","server_nonce":null})")},
        ReplyCase{"StatusEmpty", R"({"id":1,"method":"gossip.status"})",
                  success("1", R"({"compute_entries":0,"data_entries":0,"nonce_history_size":0,"peer_count":0,)"
                               R"("total_evicted":0,"total_ingested":0,"varne_entries":0})")},
        ReplyCase{"PeersEmpty", R"({"id":1,"method":"gossip.peers"})",
                  success("1", R"({"node_id":"gate-a","peer_count":0,"peers":{}})")},
        ReplyCase{"QueryEmpty", R"({"id":1,"method":"gossip.query","params":{"topic":"compute"}})",
                  success("1", R"({"count":0,"entries":[],"topic":"compute"})")},
        ReplyCase{"SubscribeEmpty", R"({"id":1,"method":"gossip.subscribe","params":{"topic":"varne"}})",
                  success("1", R"({"count":0,"entries":[],"mode":"snapshot","note":")" + NOTE +
                                   R"(","subscriber_count":0,"topic":"varne"})")}),
    [](const auto& info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(
    ParameterErrors, Replies,
    ::testing::Values(
        ReplyCase{"QueryTopicCase", R"({"id":1,"method":"gossip.query","params":{"topic":"Data"}})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"QueryParamsArray", R"({"id":1,"method":"gossip.query","params":["data"]})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"QueryNoParams", R"({"id":1,"method":"gossip.query"})", success("1", TOPIC_ERROR)},
        ReplyCase{"QueryParamsNull", R"({"id":1,"method":"gossip.query","params":null})", success("1", TOPIC_ERROR)},
        ReplyCase{"QueryTopicNotString", R"({"id":1,"method":"gossip.query","params":{"topic":1}})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"QueryTopicBlank", R"({"id":1,"method":"gossip.query","params":{"topic":" data"}})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"SubscribeNoTopic", R"({"id":1,"method":"gossip.subscribe","params":{}})", success("1", TOPIC_ERROR)},
        ReplyCase{"InjectNoParams", R"({"id":1,"method":"gossip.inject"})", success("1", TOPIC_ERROR)},
        ReplyCase{"InjectBadTopicNoKey", R"({"id":1,"method":"gossip.inject","params":{"topic":"meta"}})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"InjectNoKey", R"({"id":1,"method":"gossip.inject","params":{"topic":"data"}})",
                  success("1", R"({"error":"Missing 'key'"})")},
        ReplyCase{"InjectKeyNotString", R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":5}})",
                  success("1", R"({"error":"Missing 'key'"})")},
        ReplyCase{"SpreadNoParams", R"({"id":1,"method":"gossip.spread"})",
                  success("1", R"({"error":"Missing 'entry' or 'entries' param"})")},
        ReplyCase{"SpreadParamsString", R"({"id":1,"method":"gossip.spread","params":"x"})",
                  success("1", R"({"error":"Missing 'entry' or 'entries' param"})")},
        ReplyCase{"SpreadEmptyBatch", R"({"id":1,"method":"gossip.spread","params":{"entries":[]}})",
                  success("1", R"({"accepted":0,"rejected":0})")},
        ReplyCase{"SpreadNullEntry", R"({"id":1,"method":"gossip.spread","params":{"entry":null}})",
                  success("1", R"({"accepted":0,"rejected":1})")}),
    [](const auto& info) { return std::string(info.param.name); });

// The params are read by the method the request finally names, wherever they stand in the
// line; params that no method reads are still checked like any value.
INSTANTIATE_TEST_SUITE_P(
    Params, Replies,
    ::testing::Values(
        ReplyCase{"QueryParamsBeforeTheMethod", R"({"params":{"topic":"compute"},"id":1,"method":"gossip.query"})",
                  success("1", R"({"count":0,"entries":[],"topic":"compute"})")},
        ReplyCase{"QueryRepeatedMemberLastWins",
                  R"({"id":1,"method":"gossip.query","params":{"topic":"nope","topic":"compute","key_prefix":1}})",
                  success("1", R"({"count":0,"entries":[],"topic":"compute"})")},
        ReplyCase{"QueryRepeatedParamsLastWins",
                  R"({"id":1,"method":"gossip.query","params":{"topic":"compute"},"params":{"topic":"Data"}})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"QueryOtherMemberMalformed",
                  R"({"id":1,"method":"gossip.query","params":{"topic":"compute","pad":[1,]}})", kParseError},
        ReplyCase{"LastMethodReadsTheParams",
                  R"({"id":1,"method":"gossip.query","params":{"topic":"compute"},"method":"gossip.peers"})",
                  success("1", R"({"node_id":"gate-a","peer_count":0,"peers":{}})")},
        ReplyCase{"UnreadParamsMalformed", R"({"id":1,"method":"health.liveness","params":{"a":[1,]}})", kParseError},
        ReplyCase{"UnreadParamsNotUtf8", "{\"id\":1,\"method\":\"gossip.status\",\"params\":[\"\xFF\"]}", kParseError},
        ReplyCase{"UnknownMethodParamsMalformed", R"({"params":[1,],"id":1,"method":"nope"})", kParseError},
        ReplyCase{"UnknownMethodParamsBeforeIt", R"({"params":{"topic":"data"},"id":1,"method":"nope"})",
                  method_not_found("1")},
        ReplyCase{"ParamsNesting127", R"({"id":1,"method":"health.liveness","params":)" + nested_arrays(126) + "}",
                  success("1", R"({"alive":true})")},
        ReplyCase{"ParamsNesting128", R"({"id":1,"method":"health.liveness","params":)" + nested_arrays(127) + "}",
                  kParseError},
        ReplyCase{"UnknownMethodParamsNesting128", R"({"id":1,"method":"nope","params":)" + nested_arrays(127) + "}",
                  kParseError},
        // Where the params end: brackets and quotes inside strings do not count.
        ReplyCase{"ParamsStringWithBracketsAndQuotes", R"({"id":1,"method":"gossip.query","params":"x\"}]\\"})",
                  success("1", TOPIC_ERROR)},
        ReplyCase{"ParamsObjectWithBracketsInStrings",
                  R"({"id":1,"method":"gossip.query","params":{"pad":"]}\"{[","topic":"compute"},"id":2})",
                  success("2", R"({"count":0,"entries":[],"topic":"compute"})")},
        ReplyCase{"ReplacedParamsMalformed",
                  R"({"id":1,"method":"gossip.query","params":{"topic":"data","key""z"},"params":null})", kParseError},
        ReplyCase{"ReplacedParamsNotUtf8", "{\"id\":1,\"params\":\"\xFF\",\"method\":\"health.liveness\",\"params\":1}",
                  kParseError},
        ReplyCase{"ReplacedParamsWellFormed", R"({"id":1,"method":"health.liveness","params":[1,{}],"params":{}})",
                  success("1", R"({"alive":true})")},
        ReplyCase{"ParamsStringNotClosed", R"({"id":1,"method":"gossip.query","params":"x\"})", kParseError},
        ReplyCase{"ParamsNotClosed", R"({"id":1,"method":"health.liveness","params":[[{"a":[1]})", kParseError},
        ReplyCase{"ParamsClosedTooOften", R"({"id":1,"method":"health.liveness","params":[1]]})", kParseError},
        ReplyCase{"ParamsTwoValues", R"({"id":1,"method":"health.liveness","params":1 2})", kParseError},
        ReplyCase{"ParamsNumberThenString", R"({"id":1,"method":"health.liveness","params":1"x"})", kParseError},
        ReplyCase{"ParamsLiteralMisspelt", R"({"id":1,"method":"health.liveness","params":nul})", kParseError},
        ReplyCase{"ParamsEmpty", R"({"id":1,"method":"health.liveness","params":})", kParseError},
        ReplyCase{"ParamsAtTheEnd", R"({"id":1,"method":"health.liveness","params":)", kParseError},
        ReplyCase{"ParamsNumberBeforeTheClose", R"({"id":1,"method":"health.liveness","params":-1.5e3})",
                  success("1", R"({"alive":true})")},
        ReplyCase{"ParamsLiteralWithBlanksAround", "{\"id\":1,\"method\":\"health.liveness\",\"params\": \t true \r\n}",
                  success("1", R"({"alive":true})")}),
    [](const auto& info) { return std::string(info.param.name); });

// Every method reads its params (or drops them) before it acts, so none answers a line
// whose params are not JSON, and none acts on it.
TEST_F(HandleRequest, EveryMethodRefusesParamsThatAreNotJson) {
    for (std::string_view method : rpc_types::kMethodNames) {
        for (const char* params : {R"({"topic":"data","key":"k","entries":[],"x":[1,]})", R"(["\xFF"])", "[{]}"}) {
            const std::string line =
                std::string(R"({"id":1,"method":")") + std::string(method) + R"(","params":)" + params + "}";
            EXPECT_EQ(call(line), kParseError) << line;
        }
    }
    EXPECT_EQ(store_->stats().total_ingested, 0u);
    EXPECT_TRUE(store_->peer_stats().empty());
}

TEST_F(HandleRequest, ParameterErrorsTouchNoStore) {
    call(R"({"id":1,"method":"gossip.inject","params":{"topic":"data"}})");
    call(R"({"id":1,"method":"gossip.inject","params":{"topic":"Data","key":"k"}})");
    EXPECT_EQ(store_->stats(), gossip::StoreStats{});
    EXPECT_TRUE(take_pending(*store_).empty());
}

TEST_F(HandleRequest, ReadinessFollowsTheLifecycleState) {
    store_ = std::make_shared<gossip::GossipStore>("gate-z", clock_);  // never started
    EXPECT_EQ(call(R"({"id":1,"method":"health.readiness"})"),
              success("1", R"({"capabilities":)" + METHODS + R"(,"ready":false})"));
    EXPECT_EQ(call(R"({"id":1,"method":"health.check"})"),
              success("1", R"({"liveness":true,"node_id":"gate-z","readiness":false,"status":"Unknown"})"));
}

TEST_F(HandleRequest, NodeIdIsWrittenAsJsonText) {
    store_ = testing::make_started_store("gate \"q\"\n", clock_);
    EXPECT_EQ(call(R"({"id":1,"method":"gossip.peers"})"),
              success("1", R"({"node_id":"gate \"q\"\n","peer_count":0,"peers":{}})"));
}

TEST_F(HandleRequest, InjectStoresALocalEntry) {
    const std::string inject =
        R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"user.alice","payload":{"status":"online"}}})";
    EXPECT_EQ(call(inject), success("1", R"({"node_id":"gate-a","result":"Accepted"})"));
    // Same key in the same second: equal versions.
    EXPECT_EQ(call(inject), success("1", R"({"node_id":"gate-a","result":"Duplicate"})"));

    auto entries = store_->query(gossip::Topic::Data, std::nullopt);
    ASSERT_EQ(entries.size(), 1u);
    const gossip::GossipEntry& entry = entries.front();
    EXPECT_EQ(gossip::text_of(entry.key), "user.alice");
    EXPECT_EQ(gossip::text_of(entry.origin_gate), "gate-a");
    EXPECT_EQ(gossip::payload_of(entry.payload), parse_json(R"({"status":"online"})"));
    EXPECT_EQ(entry.ttl, 8);
    EXPECT_EQ(entry.version, kNow);
    EXPECT_EQ(entry.expires_at_epoch, kNow + 600);
    EXPECT_EQ(take_pending(*store_).size(), 2u);  // one forward copy per inject, whatever its outcome
}

TEST_F(HandleRequest, InjectPayloadDefaultsToAnEmptyObject) {
    struct Case {
        const char* params;
        const char* key;
        const char* payload;
    };
    for (const Case& c : {Case{R"({"topic":"varne","key":"no-payload"})", "no-payload", "{}"},
                          Case{R"({"topic":"varne","key":"null-payload","payload":null})", "null-payload", "null"},
                          Case{R"({"topic":"varne","key":"list","payload":[1,"a"]})", "list", R"([1,"a"])"}}) {
        SCOPED_TRACE(c.params);
        EXPECT_EQ(call(std::string(R"({"id":1,"method":"gossip.inject","params":)") + c.params + "}"),
                  success("1", R"({"node_id":"gate-a","result":"Accepted"})"));
        auto entries = store_->query(gossip::Topic::Varne, std::string_view(c.key));
        ASSERT_EQ(entries.size(), 1u);
        EXPECT_EQ(gossip::payload_of(entries.front().payload), parse_json(c.payload));
    }
}

TEST_F(HandleRequest, InjectKeysTheStoreRefuses) {
    for (const std::string& key : {std::string(""), std::string(257, 'k'), std::string("a\\tb")}) {
        SCOPED_TRACE(key);
        EXPECT_EQ(call(R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":")" + key + R"("}})"),
                  success("1", R"({"node_id":"gate-a","result":"Rejected"})"));
    }
}

// Entries ingested with known nonces, so query replies can be compared byte for byte.
class QueryReplies : public HandleRequest {
protected:
    void ingest(const char* topic, const char* key, const char* nonce, json::Value payload,
                std::optional<std::string_view> from = std::nullopt, std::uint64_t expires = kNow + 600) {
        gossip::GossipEntry entry;
        entry.topic = *gossip::parse_topic(topic);
        entry.key = gossip::share_text(key);
        entry.payload = gossip::share_payload(std::move(payload));
        entry.origin_gate = gossip::share_text("gate-b");
        entry.nonce = nonce;
        entry.ttl = 5;
        entry.version = 42;
        entry.created_at_epoch = kNow - 10;
        entry.expires_at_epoch = expires;
        ASSERT_EQ(store_->ingest(std::move(entry), from), gossip::IngestOutcome::Accepted);
    }

    std::set<std::string> keys_in(const std::string& reply) {
        json::Value parsed = parse_json(reply);
        std::set<std::string> keys;
        for (const json::Value& entry : parsed["result"]["entries"]) keys.insert(entry["key"].get<std::string>());
        EXPECT_EQ(parsed["result"]["count"], keys.size());
        return keys;
    }
};

const std::string ALICE =
    R"({"created_at_epoch":1699999990,"expires_at_epoch":1700000600,"key":"user.alice","nonce":"n-1",)"
    R"("origin_gate":"gate-b","payload":{"a":"x\ny","b":[1,2.5,null]},"topic":"data","ttl":5,"version":42})";

TEST_F(QueryReplies, WriteEntriesInTheirJsonForm) {
    ingest("data", "user.alice", "n-1", parse_json(R"({"b":[1,2.5,null],"a":"x\ny"})"));
    EXPECT_EQ(call(R"({"id":9,"method":"gossip.query","params":{"topic":"data"}})"),
              success("9", R"({"count":1,"entries":[)" + ALICE + R"(],"topic":"data"})"));
    EXPECT_EQ(call(R"({"id":9,"method":"gossip.subscribe","params":{"topic":"data","key_prefix":"user."}})"),
              success("9", R"({"count":1,"entries":[)" + ALICE + R"(],"mode":"snapshot","note":")" + NOTE +
                               R"(","subscriber_count":0,"topic":"data"})"));
}

TEST_F(QueryReplies, MatchTheRecordsOwnJsonForm) {
    ingest("compute", "job.1", "n-1", parse_json(R"({"s":"é\u0001/","n":-3,"f":1e16})"));
    ingest("compute", "job.2", "n-2", nullptr);
    ingest("compute", "job.3", "n-3", parse_json(R"([[],{}])"));
    auto entries = store_->query(gossip::Topic::Compute, std::nullopt);
    json::Value expected = {
        {"count", entries.size()}, {"entries", gossip::entries_to_json(entries)}, {"topic", "compute"}};
    EXPECT_EQ(call(R"({"id":null,"method":"gossip.query","params":{"topic":"compute"}})"),
              success("null", json::to_string(expected)));
}

TEST_F(QueryReplies, KeyPrefixSelectsEntries) {
    ingest("data", "user.alice", "n-1", 1);
    ingest("data", "user.bob", "n-2", 2);
    ingest("data", "host.x", "n-3", 3);
    ingest("data", "user.old", "n-4", 4, std::nullopt, kNow + 1);
    ingest("varne", "user.varne", "n-5", 5);
    clock_->set(kNow + 1);  // user.old expires: not listed any more
    struct Case {
        const char* prefix_member;
        std::set<std::string> keys;
    };
    const std::set<std::string> all{"host.x", "user.alice", "user.bob"};
    for (const Case& c :
         {Case{"", all}, Case{R"(,"key_prefix":"")", all}, Case{R"(,"key_prefix":5)", all},
          Case{R"(,"key_prefix":null)", all}, Case{R"(,"key_prefix":"user.")", {"user.alice", "user.bob"}},
          Case{R"(,"key_prefix":"user.bob")", {"user.bob"}}, Case{R"(,"key_prefix":"user.bobby")", {}},
          Case{R"(,"key_prefix":"User")", {}}}) {
        SCOPED_TRACE(c.prefix_member);
        for (const char* method : {"gossip.query", "gossip.subscribe"}) {
            EXPECT_EQ(keys_in(call(std::string(R"({"id":1,"method":")") + method + R"(","params":{"topic":"data")" +
                                   c.prefix_member + "}}")),
                      c.keys);
        }
    }
}

TEST_F(QueryReplies, PeersAndStatusReportTheStore) {
    ingest("data", "user.alice", "n-1", 1, "gate-b");
    ingest("varne", "user.bob", "n-2", 2);
    EXPECT_EQ(call(R"({"id":1,"method":"gossip.peers"})"),
              success("1", R"({"node_id":"gate-a","peer_count":1,"peers":{"gate-b":{"entries_received":1,)"
                           R"("entries_rejected":0,"entries_sent":0,"last_exchange_epoch":1700000000}}})"));
    EXPECT_EQ(call(R"({"id":1,"method":"gossip.status"})"),
              success("1", R"({"compute_entries":0,"data_entries":1,"nonce_history_size":2,"peer_count":1,)"
                           R"("total_evicted":0,"total_ingested":2,"varne_entries":1})"));
}

// Where the params end, found sixteen bytes at a time: strings with brackets, quotes and
// runs of backslashes, and nested containers, at every offset from where blocks start.
TEST_F(HandleRequest, ParamsEndFoundAtEveryOffset) {
    const std::string compute = success("2", R"({"count":0,"entries":[],"topic":"compute"})");
    const std::vector<std::string> pads = {
        R"("]}[{")",
        R"("x\"]}")",
        R"("\\")",
        R"("]]]]}}}}\\\"")",
        R"([[[{"a":[]}]]])",
        R"(["\"", "]", {"}":"{"}])",
        R"("{{{{{{{{{{{{{{{{")",
    };
    for (const std::string& pad : pads) {
        for (std::size_t shift = 0; shift < 40; ++shift) {
            const std::string line = R"({"id":1,"method":"gossip.query","params":{"s":")" + std::string(shift, 's') +
                                     R"(","pad":)" + pad + R"(,"topic":"compute"},"id":2})";
            EXPECT_EQ(call(line), compute) << line;
            // The same params not closed: the line does not read.
            const std::string open = R"({"id":1,"method":"gossip.query","params":{"s":")" + std::string(shift, 's') +
                                     R"(","pad":)" + pad + R"(,"topic":"compute")";
            EXPECT_EQ(call(open), kParseError) << open;
        }
    }
}

TEST_F(HandleRequest, SpreadIngestsFromTheSender) {
    const std::string entry =
        R"({"topic":"data","key":"k1","payload":{},"origin_gate":"gate-b","nonce":"n-9","ttl":3,"version":1,)"
        R"("created_at_epoch":1699999000,"expires_at_epoch":1700000100})";
    EXPECT_EQ(
        call(R"({"id":4,"method":"gossip.spread","params":{"from":"gate-b","entries":[)" + entry + "," + entry + "]}}"),
        success("4", R"({"accepted":1,"rejected":1})"));
    auto peers = store_->peer_stats();
    ASSERT_EQ(peers.count("gate-b"), 1u);
    EXPECT_EQ(peers["gate-b"].entries_received, 1u);
    EXPECT_EQ(peers["gate-b"].entries_rejected, 1u);
}

}  // namespace
}  // namespace quillfern::dispatch
