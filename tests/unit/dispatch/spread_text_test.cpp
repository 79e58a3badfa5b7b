// gossip.spread read straight from the request line: the reply each shape of params
// calls for, the same reply and store as the params in their canonical form give (each
// member once, the last of a repeated one), whatever order and repetition of members the
// line holds; and what a stored payload costs in memory.
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dispatch_fixture.hpp"
#include "quillfern/dispatch.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::dispatch {
namespace {

using testing::EnvGuard;
using testing::kNow;
using testing::parse_json;
using testing::TempDir;

std::string entry(const std::string& key, const std::string& nonce, std::uint64_t version = 7) {
    return R"({"topic":"data","key":")" + key +
           R"(","payload":{"n":1,"list":["a", 2.50]},"origin_gate":"gate-b",)"
           R"("nonce":")" +
           nonce + R"(","ttl":5,"version":)" + std::to_string(version) +
           R"(,"created_at_epoch":1699999000,"expires_at_epoch":)" + std::to_string(kNow + 600) + "}";
}

struct SpreadCase {
    std::string name;
    std::string params;  // the params text of the request line
    std::string result;  // the reply's result
};

void PrintTo(const SpreadCase& c, std::ostream* os) { *os << c.params; }

class SpreadFromText : public ::testing::TestWithParam<SpreadCase> {
protected:
    std::string request(const std::string& line) {
        auto store = testing::make_started_store();
        const std::string reply = testing::run_task(ctx_, handle_request(line, store));
        return reply + "\n" + testing::contents(*store);
    }
    // The reply and store that the same params give in their canonical form: parsed and
    // written again, each member once (the last of a repeated one), keys sorted.
    std::string canonical(const std::string& params) {
        return request(R"({"jsonrpc":"2.0","id":4,"method":"gossip.spread","params":)" +
                       json::to_string(parse_json(params)) + "}");
    }

    TempDir dir_;
    EnvGuard thornkit_{"QUILLFERN_THORNKIT_SOCK", dir_.file("absent.sock")};
    asio::io_context ctx_;
};

TEST_P(SpreadFromText, AgreesWithTheCanonicalParams) {
    const std::string& params = GetParam().params;
    const std::string want = canonical(params);
    EXPECT_EQ(want.substr(0, want.find('\n')), R"({"id":4,"jsonrpc":"2.0","result":)" + GetParam().result + "}");
    EXPECT_EQ(request(R"({"jsonrpc":"2.0","id":4,"method":"gossip.spread","params":)" + params + "}"), want);
    // Params before the method: the same again.
    EXPECT_EQ(request(R"({"params":)" + params + R"(,"id":4,"method":"gossip.spread"})"), want);
}

std::string counts(int accepted, int rejected) {
    return R"({"accepted":)" + std::to_string(accepted) + R"(,"rejected":)" + std::to_string(rejected) + "}";
}
const std::string MISSING = R"({"error":"Missing 'entry' or 'entries' param"})";

INSTANTIATE_TEST_SUITE_P(
    Params, SpreadFromText,
    ::testing::Values(
        SpreadCase{"Batch", R"({"from":"gate-b","entries":[)" + entry("a", "n1") + "," + entry("b", "n2") + "]}",
                   counts(2, 0)},
        SpreadCase{"SenderNotAString", R"({"entries":[)" + entry("a", "n1") + R"(],"from":42})", counts(1, 0)},
        SpreadCase{"LastSenderCounts", R"({"from":"x","entries":[)" + entry("a", "n1") + R"(],"from":"gate-c"})",
                   counts(1, 0)},
        SpreadCase{"LastSenderNotAString", R"({"from":"x","entries":[)" + entry("a", "n1") + R"(],"from":null})",
                   counts(1, 0)},
        SpreadCase{"EntriesNotAnArray", R"({"entries":"no","entry":)" + entry("a", "n1") + "}", counts(1, 0)},
        SpreadCase{"ArrayBeatsEntry", R"({"entry":)" + entry("a", "n1") + R"(,"entries":[)" + entry("b", "n2") + "]}",
                   counts(1, 0)},
        SpreadCase{"LaterEntriesNotAnArray",
                   R"({"entries":[)" + entry("a", "n1") + R"(],"entries":{},"entry":)" + entry("b", "n2") + "}",
                   counts(1, 0)},
        SpreadCase{"LaterEntriesWithoutEntry", R"({"entries":[)" + entry("a", "n1") + R"(],"entries":5})", MISSING},
        SpreadCase{"LaterEntryCounts", R"({"entry":)" + entry("a", "n1") + R"(,"entry":)" + entry("b", "n2") + "}",
                   counts(1, 0)},
        SpreadCase{"Empty", "{}", MISSING}, SpreadCase{"EmptyBatch", R"({"entries":[]})", counts(0, 0)},
        SpreadCase{"NullEntry", R"({"entry":null})", counts(0, 1)},
        SpreadCase{"SameEntryTwice", R"({"entries":[)" + entry("a", "n1") + "," + entry("a", "n1") + "]}",
                   counts(1, 1)},
        SpreadCase{
            "NewerVersionReplaces",
            R"({"entries":[)" + entry("a", "n1", 7) + "," + entry("a", "n2", 9) + "," + entry("a", "n3", 8) + "]}",
            counts(2, 1)},
        SpreadCase{"ElementsThatAreNoEntries",
                   R"({"entries":[5,{"bad":1},[],)" + entry("b", "n2") + R"(,["data","k",null,"g","n",1,1,1,1]]})",
                   counts(1, 4)},
        SpreadCase{"ArrayFormEntry",
                   R"({"entries":[["data","k",{"b":[1],"a":2},"g","n",1,1,1,)" + std::to_string(kNow + 9) + "]]}",
                   counts(1, 0)}),
    [](const auto& info) { return info.param.name; });

TEST_F(SpreadFromText, AMethodNamedAgainAfterParamsIsTheOneThatReadsThem) {
    const std::string params = R"({"topic":"data","entries":[)" + entry("a", "n1") + "]}";
    auto store = testing::make_started_store();
    const std::string line = R"({"id":1,"method":"gossip.spread","params":)" + params + R"(,"method":"gossip.query"})";
    EXPECT_EQ(testing::run_task(ctx_, handle_request(line, store)),
              R"({"id":1,"jsonrpc":"2.0","result":{"count":0,"entries":[],"topic":"data"}})");
    EXPECT_EQ(store->stats().data_entries, 0u);
}

TEST_F(SpreadFromText, MalformedBatchIsAParseErrorAndTakesNothingIn) {
    auto store = testing::make_started_store();
    for (const std::string& params :
         {R"({"entries":[)" + entry("a", "n1") + ",]}", R"({"entries":[)" + entry("a", "n1") + "]",
          R"({"entries":[)" + entry("a", "n1") + R"(],"from":"x"} trailing)"}) {
        EXPECT_EQ(testing::run_task(
                      ctx_, handle_request(R"({"id":1,"method":"gossip.spread","params":)" + params + "}", store)),
                  R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})");
    }
    EXPECT_EQ(store->stats().data_entries, 0u);
    EXPECT_TRUE(take_pending(*store).empty());
}

// ---- What a payload costs -------------------------------------------------------------------

std::size_t resident_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6));
    }
    return 0;
}

// A payload of many small values costs about its text, not a tree of nodes many times its
// size: four injects of a 4 MiB array of empty objects (stored, and each copy queued)
// hold 16 MiB of text, where trees held over 400 MiB. The margin leaves room for the
// request lines and the sanitizers' quarantine of freed memory.
TEST(InjectPayloadMemory, StoredPayloadCostsAboutItsText) {
    TempDir dir;
    EnvGuard thornkit{"QUILLFERN_THORNKIT_SOCK", dir.file("absent.sock")};
    asio::io_context ctx;
    auto store = testing::make_started_store();
    std::string payload = "[{}";
    while (payload.size() < (std::size_t{4} << 20)) payload += ",{}";
    payload += ']';
    const std::size_t before = resident_kib();
    for (int i = 0; i < 4; ++i) {
        const std::string line = R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k)" +
                                 std::to_string(i) + R"(","payload":)" + payload + "}}";
        ASSERT_EQ(testing::run_task(ctx, handle_request(line, store)),
                  R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-a","result":"Accepted"}})");
    }
    const std::size_t after = resident_kib();
    EXPECT_LT((after - std::min(before, after)) / 1024, 160u);
    const auto held = store->query(gossip::Topic::Data, std::nullopt);
    ASSERT_EQ(held.size(), 4u);
    EXPECT_EQ(gossip::payload_text(held[0].payload), payload);
}

}  // namespace
}  // namespace quillfern::dispatch
