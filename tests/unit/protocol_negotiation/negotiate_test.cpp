#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/log.hpp"
#include "quillfern/protocol_negotiation.hpp"
#include "socket_pair.hpp"

namespace quillfern::protocol_negotiation {
namespace {

using testing::SocketPair;

constexpr std::uint64_t kPatient = 60'000;  // for clients whose bytes are all there at once

const std::string kNegotiated = " INFO quillfern_core::protocol_negotiation: server negotiated: ";
const std::string kNoNegotiation =
    " WARN quillfern_core::protocol_negotiation: no protocol negotiation, assuming JSON-RPC";
const std::string kReadError = " WARN quillfern_core::protocol_negotiation: negotiation read error: ";

// One negotiation as the client saw it and as the server went on after it.
struct Exchange {
    std::string outcome;              // "jsonrpc", "tarpc", "none" or "error: <text>"
    std::vector<std::string> events;  // logged during the negotiation
    std::string answer;               // everything the client received
    std::string rest;                 // the lines the reader gave after the negotiation
};

std::string describe(const Expected<std::optional<IpcProtocol>, IoError>& outcome) {
    if (!outcome) return "error: " + outcome.error().message();
    return *outcome ? std::string((*outcome)->text()) : "none";
}

asio::awaitable<void> negotiate_then_read_on(LineReader& reader, std::uint64_t timeout_ms,
                                             log::testing::Capture& capture, Exchange& out) {
    out.outcome = describe(co_await negotiate(reader, kServerProtocols, timeout_ms));
    out.events = capture.events();
    for (;;) {
        auto line = co_await reader.read_line();
        if (!line || !*line || (*line)->empty()) break;
        out.rest += **line;
    }
}

Exchange negotiate_with(std::string_view input, std::uint64_t timeout_ms = kPatient) {
    SocketPair pair;
    pair.send(input);
    pair.end_input();
    log::testing::Capture capture;
    Exchange out;
    {
        LineReader reader(std::move(pair.server));
        pair.run(negotiate_then_read_on(reader, timeout_ms, capture, out));
    }
    out.answer = pair.receive_all();
    return out;
}

struct Case {
    std::string_view input;
    std::string_view outcome;
    std::string_view answer;
    std::vector<std::string> events;
    std::string_view rest;
};

// Negotiates over the case's input and checks the outcome, the answer line, the log
// events and the bytes left for the line loop.
void expect_exchange(const Case& c) {
    const Exchange got = negotiate_with(c.input);
    EXPECT_EQ(got.outcome, c.outcome) << c.input;
    EXPECT_EQ(got.answer, c.answer) << c.input;
    EXPECT_EQ(got.events, c.events) << c.input;
    EXPECT_EQ(got.rest, c.rest) << c.input;
}

TEST(NegotiateTest, AnswersTheFirstRecognisedNameInTheClientsOrder) {
    const Case cases[] = {
        {"PROTOCOLS: jsonrpc\n", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
        {"PROTOCOLS: tarpc, jsonrpc\n", "tarpc", "PROTOCOL: tarpc\n", {kNegotiated + "tarpc"}, ""},
        {"PROTOCOLS: jsonrpc,tarpc\n", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
        {"PROTOCOLS: JSON-RPC\n", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
        {"PROTOCOLS: JSON_RPC\n", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
        {"PROTOCOLS: Binary\n", "tarpc", "PROTOCOL: tarpc\n", {kNegotiated + "tarpc"}, ""},
        {"PROTOCOLS: grpc, jsonrpc\n", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
        {"PROTOCOLS: ,,tarpc,tarpc,jsonrpc\n", "tarpc", "PROTOCOL: tarpc\n", {kNegotiated + "tarpc"}, ""},
        // White space around the line and around each name.
        {"   PROTOCOLS:  tarpc \t, jsonrpc\r\n", "tarpc", "PROTOCOL: tarpc\n", {kNegotiated + "tarpc"}, ""},
        {"\u3000PROTOCOLS: jsonrpc\u2028\n", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
        // The last bytes before the end of the stream are a line too.
        {"PROTOCOLS: jsonrpc", "jsonrpc", "PROTOCOL: jsonrpc\n", {kNegotiated + "jsonrpc"}, ""},
    };
    for (const Case& c : cases) expect_exchange(c);
}

TEST(NegotiateTest, WithoutARecognisedNameNothingIsAnswered) {
    const Case cases[] = {
        {"PROTOCOLS: grpc, thrift\n", "none", "", {}, ""},
        {"PROTOCOLS: , ,\n", "none", "", {}, ""},
        {"PROTOCOLS: json rpc\n", "none", "", {}, ""},
        // Not a negotiation line: consumed with a warning.
        {"PROTOCOLS:jsonrpc\n", "none", "", {kNoNegotiation}, ""},
        {"protocols: jsonrpc\n", "none", "", {kNoNegotiation}, ""},
        {"PROTOCOLS:    \n", "none", "", {kNoNegotiation}, ""},
        {"\n", "none", "", {kNoNegotiation}, ""},
        {"{\"id\":1,\"method\":\"health.liveness\"}\n", "none", "", {kNoNegotiation}, ""},
        // Not UTF-8: a signalled client on a negotiating socket.
        {"\xEC\x01{\"id\":1}\n", "none", "", {kReadError + "stream did not contain valid UTF-8"}, ""},
        {"\xEC\x00", "none", "", {kReadError + "stream did not contain valid UTF-8"}, ""},
        // The client closed at once.
        {"", "none", "", {}, ""},
    };
    for (const Case& c : cases) expect_exchange(c);
}

TEST(NegotiateTest, ConsumesExactlyItsOneLine) {
    const Case cases[] = {
        {"PROTOCOLS: jsonrpc\n{\"id\":2}\n{\"id\":3}",
         "jsonrpc",
         "PROTOCOL: jsonrpc\n",
         {kNegotiated + "jsonrpc"},
         "{\"id\":2}\n{\"id\":3}"},
        {"{\"id\":1}\n{\"id\":2}\n", "none", "", {kNoNegotiation}, "{\"id\":2}\n"},
        {"PROTOCOLS: grpc\nPROTOCOLS: jsonrpc\n", "none", "", {}, "PROTOCOLS: jsonrpc\n"},
        {"\xEC\x01{\"id\":1}\n{\"id\":2}\n",
         "none",
         "",
         {kReadError + "stream did not contain valid UTF-8"},
         "{\"id\":2}\n"},
    };
    for (const Case& c : cases) expect_exchange(c);
}

TEST(NegotiateTest, ANegotiationLineLongerThanTheReadBufferIsRead) {
    std::string names;
    while (names.size() < 3 * kReadBufferBytes) names += "unknown, ";
    const Exchange got = negotiate_with("PROTOCOLS: " + names + "binary\n");
    EXPECT_EQ(got.outcome, "tarpc");
    EXPECT_EQ(got.answer, "PROTOCOL: tarpc\n");
}

TEST(NegotiateTest, ATimeLimitTooLargeForTheClockMeansNoDeadline) {
    const Exchange got = negotiate_with("PROTOCOLS: jsonrpc\n", std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(got.outcome, "jsonrpc");
    EXPECT_EQ(got.answer, "PROTOCOL: jsonrpc\n");
}

asio::awaitable<void> negotiate_silently_then_send(LineReader& reader, SocketPair& pair, std::uint64_t timeout_ms,
                                                   std::string_view later, Exchange& out) {
    out.outcome = describe(co_await negotiate(reader, kServerProtocols, timeout_ms));
    pair.send(later);
    pair.end_input();
    for (;;) {
        auto line = co_await reader.read_line();
        if (!line || !*line || (*line)->empty()) break;
        out.rest += **line;
    }
}

// The time limit passes before a whole line came: no protocol and nothing logged, and
// what the client sends next (after the limit) is the line loop's.
TEST(NegotiateTest, AtTheTimeLimitThereIsNoProtocolAndWhatCameStaysForTheLineLoop) {
    struct Late {
        std::string_view before;  // sent before the negotiation starts
        std::uint64_t timeout_ms;
        std::string_view later;  // sent once the time limit has passed
        std::string_view rest;
    };
    const Late cases[] = {
        // A negotiation line that comes after the limit is just the first request line.
        {"", 0, "PROTOCOLS: jsonrpc\n", "PROTOCOLS: jsonrpc\n"},
        {"", 1, "PROTOCOLS: jsonrpc\n", "PROTOCOLS: jsonrpc\n"},
        {"", 5, "PROTOCOLS: jsonrpc\n", "PROTOCOLS: jsonrpc\n"},
        // A partial line at the limit is kept for what comes next.
        {"{\"id\":1,", 1, "\"method\":\"health.liveness\"}\n", "{\"id\":1,\"method\":\"health.liveness\"}\n"},
    };
    for (const Late& c : cases) {
        SocketPair pair;
        pair.send(c.before);
        log::testing::Capture capture;
        Exchange out;
        {
            LineReader reader(std::move(pair.server));
            pair.run(negotiate_silently_then_send(reader, pair, c.timeout_ms, c.later, out));
        }
        EXPECT_EQ(out.outcome, "none") << c.before << c.timeout_ms;
        EXPECT_EQ(out.rest, c.rest) << c.before << c.timeout_ms;
        EXPECT_EQ(capture.events(), std::vector<std::string>{}) << c.before << c.timeout_ms;
        EXPECT_EQ(pair.receive_all(), "") << c.before << c.timeout_ms;
    }
}

TEST(NegotiateTest, AnAnswerThatCannotBeWrittenIsTheOutcomeAndNotLogged) {
    SocketPair pair;
    pair.send("PROTOCOLS: jsonrpc\n");
    pair.end_input();
    pair.stop_reading();
    log::testing::Capture capture;
    Exchange out;
    LineReader reader(std::move(pair.server));
    pair.run(negotiate_then_read_on(reader, kPatient, capture, out));
    EXPECT_EQ(out.outcome, "error: Broken pipe (os error 32)");
    EXPECT_EQ(out.events, std::vector<std::string>{});
}

TEST(NegotiateTest, AFailedReadIsLoggedAndMeansNoProtocol) {
    SocketPair pair;
    pair.send("PROTO");
    pair.reset_by_client();
    log::testing::Capture capture;
    Exchange out;
    LineReader reader(std::move(pair.server));
    pair.run(negotiate_then_read_on(reader, kPatient, capture, out));
    EXPECT_EQ(out.outcome, "none");
    EXPECT_EQ(out.events, std::vector<std::string>{kReadError + "Connection reset by peer (os error 104)"});
}

TEST(NegotiateTest, ALineOverTheReaderLimitIsLeftToTheLineLoop) {
    SocketPair pair;
    pair.send(std::string(64, 'x'));
    pair.end_input();
    log::testing::Capture capture;
    Exchange out;
    LineReader reader(std::move(pair.server), 16);
    pair.run(negotiate_then_read_on(reader, kPatient, capture, out));
    EXPECT_EQ(out.outcome, "none");
    EXPECT_EQ(out.events, std::vector<std::string>{});
    EXPECT_EQ(reader.buffered(), std::string(64, 'x'));
}

}  // namespace
}  // namespace quillfern::protocol_negotiation
