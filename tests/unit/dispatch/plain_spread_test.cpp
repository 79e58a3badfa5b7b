// gossip.spread lines in their plain form, read in one pass with the entries as views:
// every plain line gives the reply and store that the full reading of the same line
// gives, and every line that is not plain is declined and answered by the full reading,
// byte for byte.
#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "take_pending.hpp"

#include "dispatch_fixture.hpp"
#include "envelope.hpp"
#include "fake_line_server.hpp"
#include "quillfern/dispatch.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::dispatch {
namespace {

using testing::contents;
using testing::EnvGuard;
using testing::kNow;
using testing::read_in_full;
using testing::TempDir;

// One entry with its members in the order given by the batch script's peers (not sorted).
std::string entry(const std::string& key, const std::string& nonce, std::uint64_t version = 7,
                  const std::string& payload = R"({"list":["a",2],"n":1})", std::uint64_t ttl = 5,
                  std::uint64_t expires = kNow + 600) {
    return R"({"topic":"data","key":")" + key + R"(","payload":)" + payload + R"(,"origin_gate":"gate-b","nonce":")" +
           nonce + R"(","ttl":)" + std::to_string(ttl) + R"(,"version":)" + std::to_string(version) +
           R"(,"created_at_epoch":1699999000,"expires_at_epoch":)" + std::to_string(expires) + "}";
}

// The same members sorted, as a gate's sweep writes them.
std::string sorted_entry(const std::string& key, const std::string& nonce, const std::string& payload) {
    return R"({"created_at_epoch":1699999000,"expires_at_epoch":)" + std::to_string(kNow + 600) + R"(,"key":")" + key +
           R"(","nonce":")" + nonce + R"(","origin_gate":"gate-c","payload":)" + payload +
           R"(,"topic":"compute","ttl":3,"version":11})";
}

std::string line_of(const std::string& params) {
    return R"({"jsonrpc":"2.0","id":3,"method":"gossip.spread","params":)" + params + "}";
}

std::string batch(const std::vector<std::string>& entries, const std::string& from = R"("gate-b")") {
    std::string text = R"({"from":)" + from + R"(,"entries":[)";
    for (std::size_t i = 0; i < entries.size(); ++i) text += (i ? "," : "") + entries[i];
    return text + "]}";
}

// Whether the line reads in its plain form, every part of it.
bool reads_plain(std::string_view line) {
    std::optional<detail::PlainRequest> request = detail::PlainRequest::open(line);
    if (!request || request->method() != "gossip.spread") return false;
    static_cast<void>(mesh::read_plain_spread_params(request->params()));
    return request->finish();
}

struct LineCase {
    std::string name;
    std::string line;
    std::string reply;  // the reply expected, empty when only the agreement is checked
};

void PrintTo(const LineCase& c, std::ostream* os) { *os << c.line; }

class PlainSpread : public ::testing::TestWithParam<LineCase> {
protected:
    // The reply and the store's contents after the line, on a store that holds key "held"
    // at version 9 under nonce "seen" already.
    std::string answer(const std::string& line, std::string* reply = nullptr) {
        auto store = ::quillfern::testing::make_started_store();
        const std::string seed = line_of(batch({entry("held", "seen", 9)}));
        static_cast<void>(testing::run_task(ctx_, handle_request(seed, store)));
        static_cast<void>(::quillfern::testing::take_pending(*store));
        const std::string text = testing::run_task(ctx_, handle_request(line, store));
        if (reply) *reply = text;
        return text + "\n" + contents(*store);
    }

    TempDir dir_;
    EnvGuard thornkit_{"QUILLFERN_THORNKIT_SOCK", dir_.file("absent.sock")};
    asio::io_context ctx_;
};

// ---- Lines taken in their plain form ---------------------------------------------------

class PlainLines : public PlainSpread {};

TEST_P(PlainLines, ReadPlainAndAgreeWithTheFullReading) {
    const std::string& line = GetParam().line;
    ASSERT_TRUE(reads_plain(line));
    ASSERT_FALSE(reads_plain(read_in_full(line)));
    std::string reply;
    EXPECT_EQ(answer(line, &reply), answer(read_in_full(line)));
    if (!GetParam().reply.empty()) {
        EXPECT_EQ(reply, GetParam().reply);
    }
}

std::string counts(int accepted, int rejected) {
    return R"({"id":3,"jsonrpc":"2.0","result":{"accepted":)" + std::to_string(accepted) + R"(,"rejected":)" +
           std::to_string(rejected) + "}}";
}

INSTANTIATE_TEST_SUITE_P(
    Spread, PlainLines,
    ::testing::Values(
        LineCase{"Batch", line_of(batch({entry("a", "n1"), entry("b", "n2")})), counts(2, 0)},
        LineCase{"SweepLayout",
                 R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)" +
                     sorted_entry("a", "n1", R"("text")") + "," + sorted_entry("b", "n2", "[]") +
                     R"(],"from":"gate-c"}})",
                 R"({"id":null,"jsonrpc":"2.0","result":{"accepted":2,"rejected":0}})"},
        LineCase{
            "StringIdAfterParams",
            R"({"method":"gossip.spread","params":)" + batch({entry("a", "n1")}) + R"(,"id":"x-1","jsonrpc":"2.0"})",
            R"({"id":"x-1","jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"},
        LineCase{"LargestId", R"({"id":18446744073709551615,"method":"gossip.spread","params":{"entries":[]}})",
                 R"({"id":18446744073709551615,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"WhiteSpaceBetweenTokens",
                 " {\"id\" : 3 ,\r\n\"method\":\t\"gossip.spread\", \"params\" : { \"entries\" : [ " +
                     entry("a", "n1") + " , " + entry("b", "n2") + " ] } } ",
                 counts(2, 0)},
        LineCase{"OneEntry", line_of(R"({"entry":)" + entry("a", "n1") + "}"), counts(1, 0)},
        LineCase{"NoSender", line_of(R"({"entries":[)" + entry("a", "n1") + "]}"), counts(1, 0)},
        LineCase{"EmptyBatch", line_of(R"({"entries":[],"from":"gate-b"})"), counts(0, 0)},
        LineCase{"SameNonceTwice", line_of(batch({entry("a", "n1"), entry("b", "n1")})), counts(1, 1)},
        LineCase{"NonceHeldAlready", line_of(batch({entry("a", "seen")})), counts(0, 1)},
        LineCase{"VersionHeldAlready", line_of(batch({entry("held", "n1", 9), entry("held", "n2", 8)})), counts(0, 2)},
        LineCase{"NewerVersionThenOlder",
                 line_of(batch({entry("held", "n1", 10), entry("held", "n2", 12), entry("held", "n3", 11)})),
                 counts(2, 1)},
        LineCase{"ExpiredAndNoHopsLeft",
                 line_of(batch({entry("a", "n1", 7, "1", 5, kNow), entry("b", "n2", 7, "1", 0)})), counts(0, 2)},
        LineCase{"KeysRefused", line_of(batch({entry("", "n1"), entry(std::string(257, 'k'), "n2")})), counts(0, 2)},
        LineCase{"OversizedNonce", line_of(batch({entry("a", std::string(1025, 'n')), entry("b", "n2")})),
                 counts(1, 1)},
        LineCase{"LongNonceKept", line_of(batch({entry("a", std::string(1024, 'n'))})), counts(1, 0)},
        LineCase{"PayloadForms",
                 line_of(batch({entry("a", "p1", 7, R"({"a":{"b":[true,false,null,-12,0]},"b":{},"c":[[]]})"),
                                entry("b", "p2", 7, "-9223372036854775"), entry("c", "p3", 7, "9999999999999999999"),
                                entry("d", "p4", 7, R"("é → 🌿")"), entry("e", "p5", 7, "null"),
                                entry("f", "p6", 7, R"({"":1,"A":2,"a":3,"é":4})")})),
                 counts(6, 0)},
        LineCase{"LargestNumbers",
                 line_of(batch({entry("a", "n1", 18446744073709551615u, "0", 255, 18446744073709551615u)})),
                 counts(1, 0)},
        LineCase{"SenderWithUtf8", line_of(batch({entry("a", "n1")}, R"("gäte-ß")")), counts(1, 0)}),
    [](const auto& info) { return info.param.name; });

// ---- Lines read in full --------------------------------------------------------------------

class DeclinedLines : public PlainSpread {};

TEST_P(DeclinedLines, AreDeclinedAndAnsweredByTheFullReading) {
    const std::string& line = GetParam().line;
    EXPECT_FALSE(reads_plain(line));
    std::string reply;
    EXPECT_EQ(answer(line, &reply), answer(read_in_full(line)));
    if (!GetParam().reply.empty()) {
        EXPECT_EQ(reply, GetParam().reply);
    }
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

// The entry with the value of one member written as `value`.
std::string replaced(std::string text, const std::string& name, const std::string& value) {
    const std::size_t at = text.find('"' + name + "\":") + name.size() + 3;
    const std::size_t end = text.find_first_of(",}", at);
    return text.replace(at, end - at, value);
}

// The entry with one more member at its end.
std::string with_member(const std::string& extra) {
    std::string text = entry("a", "n1");
    return text.substr(0, text.size() - 1) + "," + extra + "}";
}

const std::string kParseError = R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})";

INSTANTIATE_TEST_SUITE_P(
    Spread, DeclinedLines,
    ::testing::Values(
        LineCase{"EscapeInMemberName", line_of(batch({R"({"t\u006fpic":"data",)" + entry("a", "n1").substr(16)})),
                 counts(1, 0)},
        LineCase{"EscapeInPayload", line_of(batch({entry("a", "n1", 7, R"("a\nb")")})), counts(1, 0)},
        LineCase{"EscapeWrittenOtherwise", line_of(batch({entry("a", "n1", 7, R"("\u0041")")})), counts(1, 0)},
        LineCase{"EscapeInKey", line_of(batch({entry("a\\u0062", "n1")})), counts(1, 0)},
        LineCase{"EscapeInSender", line_of(batch({entry("a", "n1")}, R"("gate\/b")")), counts(1, 0)},
        LineCase{"PayloadFraction", line_of(batch({entry("a", "n1", 7, "2.50")})), counts(1, 0)},
        LineCase{"PayloadExponent", line_of(batch({entry("a", "n1", 7, "1e3")})), counts(1, 0)},
        LineCase{"PayloadMinusZero", line_of(batch({entry("a", "n1", 7, "-0")})), counts(1, 0)},
        LineCase{"PayloadBeyond64Bits", line_of(batch({entry("a", "n1", 7, "18446744073709551616")})), counts(1, 0)},
        LineCase{"PayloadLeadingZero", line_of(batch({entry("a", "n1", 7, "01")})), kParseError},
        LineCase{"PayloadKeysUnsorted", line_of(batch({entry("a", "n1", 7, R"({"b":1,"a":2})")})), counts(1, 0)},
        LineCase{"PayloadKeyRepeated", line_of(batch({entry("a", "n1", 7, R"({"a":1,"a":2})")})), counts(1, 0)},
        LineCase{"PayloadWhiteSpaceInside", line_of(batch({entry("a", "n1", 7, R"({"a": 1})")})), counts(1, 0)},
        LineCase{"Payload65Deep", line_of(batch({entry("a", "n1", 7, nested(65))})), counts(1, 0)},
        LineCase{"Payload200Deep", line_of(batch({entry("a", "n1", 7, nested(200))})), kParseError},
        LineCase{"PayloadControlByte", line_of(batch({entry("a", "n1", 7, "\"a\tb\"")})), kParseError},
        LineCase{"PayloadInvalidUtf8", line_of(batch({entry("a", "n1", 7, "\"\xED\xA0\x80\"")})), kParseError},
        LineCase{"VersionFraction", line_of(batch({replaced(entry("a", "n1"), "version", "1.0")})), counts(0, 1)},
        LineCase{"TtlOver255", line_of(batch({entry("a", "n1", 7, "1", 256)})), counts(0, 1)},
        LineCase{"VersionBeyond64Bits", line_of(batch({replaced(entry("a", "n1"), "version", "18446744073709551616")})),
                 counts(0, 1)},
        LineCase{"NegativeTtl", line_of(batch({replaced(entry("a", "n1"), "ttl", "-1")})), counts(0, 1)},
        LineCase{"UnknownMember", line_of(batch({with_member(R"("extra":1)")})), counts(1, 0)},
        LineCase{"RepeatedMember", line_of(batch({with_member(R"("version":9)")})), counts(1, 0)},
        LineCase{"TopicAsMap", line_of(batch({R"({"topic":{"data":null},)" + entry("a", "n1").substr(16)})),
                 counts(1, 0)},
        LineCase{"UnknownTopic", line_of(batch({R"({"topic":"other",)" + entry("a", "n1").substr(16)})), counts(0, 1)},
        LineCase{"MissingMember", line_of(batch({R"({"topic":"data","key":"a"})"})), counts(0, 1)},
        LineCase{"EntryAsArray", line_of(batch({R"(["data","k",1,"g","n",1,1,1,)" + std::to_string(kNow + 9) + "]"})),
                 counts(1, 0)},
        LineCase{"ElementNotAnEntry", line_of(batch({"5", entry("a", "n1")})), counts(1, 1)},
        LineCase{"SenderNotAString", line_of(batch({entry("a", "n1")}, "42")), counts(1, 0)},
        LineCase{"SenderRepeated", line_of(R"({"from":"x","entries":[],"from":"y"})"), counts(0, 0)},
        LineCase{"EntriesAndEntry", line_of(R"({"entries":[],"entry":)" + entry("a", "n1") + "}"), counts(0, 0)},
        LineCase{"NoEntries", line_of(R"({"from":"x"})"),
                 R"({"id":3,"jsonrpc":"2.0","result":{"error":"Missing 'entry' or 'entries' param"}})"},
        LineCase{"ParamsNotAnObject", line_of("[]"),
                 R"({"id":3,"jsonrpc":"2.0","result":{"error":"Missing 'entry' or 'entries' param"}})"},
        LineCase{"NegativeId", R"({"id":-1,"method":"gossip.spread","params":{"entries":[]}})",
                 R"({"id":-1,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"FractionId", R"({"id":1.5,"method":"gossip.spread","params":{"entries":[]}})",
                 R"({"id":1.5,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"ObjectId", R"({"id":{"b":1,"a":2},"method":"gossip.spread","params":{"entries":[]}})",
                 R"({"id":{"a":2,"b":1},"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"IdRepeated", R"({"id":1,"method":"gossip.spread","params":{"entries":[]},"id":2})",
                 R"({"id":2,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"ParamsBeforeMethod", R"({"id":1,"params":{"entries":[]},"method":"gossip.spread"})",
                 R"({"id":1,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"MethodAgainAfterParams",
                 R"({"id":1,"method":"gossip.spread","params":{"entries":[]},"method":"gossip.status"})", ""},
        LineCase{"JsonrpcNotAString", R"({"jsonrpc":2,"id":1,"method":"gossip.spread","params":{"entries":[]}})",
                 R"({"id":1,"jsonrpc":"2.0","result":{"accepted":0,"rejected":0}})"},
        LineCase{"TrailingBytes", line_of(batch({entry("a", "n1")})) + "x", kParseError},
        LineCase{"TrailingComma", line_of(batch({entry("a", "n1")}) + ","), kParseError},
        LineCase{"CutShort", line_of(batch({entry("a", "n1")})).substr(0, 80), kParseError},
        LineCase{"NotAnObject", R"(["gossip.spread"])",
                 R"({"error":{"code":-32601,"message":"Method not found"},"id":null,"jsonrpc":"2.0"})"}),
    [](const auto& info) { return info.param.name; });

TEST_F(PlainSpread, EntriesCheckedWithThornKitAreTakenInAsWhenReadInFull) {
    // thornKit denies key "bad" and allows the rest: each entry is built for its check.
    const std::string deny = R"({"id":1,"jsonrpc":"2.0","result":{"verdict":"deny"}})"
                             "\n";
    const std::string allow = R"({"id":1,"jsonrpc":"2.0","result":{"verdict":"allow"}})"
                              "\n";
    auto thornkit = ::quillfern::testing::FakeLineServer::on_unix_socket(
        dir_.file("absent.sock"), ::quillfern::testing::FakeLineServer::route([&](std::string_view request) {
            return request.find(R"("key":"bad")") != std::string_view::npos ? deny : allow;
        }));
    const std::string line = line_of(batch({entry("a", "n1"), entry("bad", "n2"), entry("a", "n1"), entry("c", "n3")}));
    ASSERT_TRUE(reads_plain(line));
    std::string reply;
    EXPECT_EQ(answer(line, &reply), answer(read_in_full(line)));
    EXPECT_EQ(reply, counts(2, 2));
}

TEST_F(PlainSpread, AnotherMethodIsReadByItsEnvelope) {
    // Plain up to its params, but not a batch: the method's own reading answers it.
    const std::string line = R"({"jsonrpc":"2.0","id":5,"method":"gossip.status","params":{}})";
    auto store = ::quillfern::testing::make_started_store();
    EXPECT_EQ(testing::run_task(ctx_, handle_request(line, store)),
              R"({"id":5,"jsonrpc":"2.0","result":{"compute_entries":0,"data_entries":0,"nonce_history_size":0,)"
              R"("peer_count":0,"total_evicted":0,"total_ingested":0,"varne_entries":0}})");
}

TEST_F(PlainSpread, ALineOver8MiBIsReadInFull) {
    std::string padding(std::size_t{8} << 20, 'x');
    const std::string line = line_of(batch({entry("a", "n1", 7, '"' + padding + '"')}));
    EXPECT_FALSE(detail::PlainRequest::open(line).has_value());
    std::string reply;
    static_cast<void>(answer(line, &reply));
    EXPECT_EQ(reply, counts(1, 0));
}

}  // namespace
}  // namespace quillfern::dispatch
