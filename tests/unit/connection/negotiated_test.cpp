#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "connection_fixture.hpp"
#include "env_guard.hpp"
#include "quillfern/protocol_negotiation.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

const std::string kNegotiated = " INFO quillfern_core::protocol_negotiation: server negotiated: ";
const std::string kNoNegotiation =
    " WARN quillfern_core::protocol_negotiation: no protocol negotiation, assuming JSON-RPC";

// The hand-off the server would pass in: it takes the stream as it stands after the
// negotiation line and says so on it.
asio::awaitable<void> fake_tarpc(transport::TransportStream stream) {
    co_await asio::async_write(stream, asio::buffer(std::string_view("handed off\n")), asio::use_awaitable);
}

Served serve_negotiated_with_fake_tarpc(std::string_view input, ClientThen then = ClientThen::EndsInput) {
    auto serve = [](transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store) {
        return serve_negotiated(std::move(stream), std::move(store), fake_tarpc);
    };
    return serve_with(serve, input, then);
}

class NegotiatedTest : public ::testing::Test {
protected:
    static constexpr const char* kVariable = "NEGOTIATE_TIMEOUT_MS";
    // Every byte of these clients is there at once: the limit never decides.
    ::quillfern::testing::EnvGuard timeout_{kVariable, "60000"};
};

TEST_F(NegotiatedTest, TheNegotiationThenTheLineLoopOnTheSameBytes) {
    const Case cases[] = {
        {"jsonrpc, and a request in the same write",
         "PROTOCOLS: jsonrpc\n" + liveness(1) + "\n",
         "PROTOCOL: jsonrpc\n" + alive(1),
         {kNegotiated + "jsonrpc"}},
        {"tarpc is answered, then the connection is handed off",
         "PROTOCOLS: tarpc, jsonrpc\n" + liveness(1) + "\n",
         "PROTOCOL: tarpc\nhanded off\n",
         {kNegotiated + "tarpc", kServerInfo + "G65: tarpc selected — handing off to tarpc handler"}},
        {"no recognised name", "PROTOCOLS: grpc\n" + liveness(1) + "\n", alive(1), {}},
        {"a request as the first line is consumed",
         liveness(1) + "\n" + liveness(2) + "\n",
         alive(2),
         {kNoNegotiation}},
        {"signal bytes are not first-byte signals here",
         "\xEC\x01" + liveness(1) + "\n" + liveness(2) + "\n",
         alive(2),
         {" WARN quillfern_core::protocol_negotiation: negotiation read error: stream did not contain valid UTF-8"}},
        {"a blank first line", "\n" + liveness(2) + "\n", alive(2), {kNoNegotiation}},
        {"connect and close", "", "", {}},
    };
    for (const Case& c : cases) {
        const Served served = serve_negotiated_with_fake_tarpc(c.input);
        EXPECT_EQ(served.received, c.received) << c.what;
        EXPECT_EQ(served.events, c.events) << c.what;
    }
}

TEST_F(NegotiatedTest, AnAnswerThatCannotBeWrittenFallsBackToJsonRpc) {
    const Served served =
        serve_negotiated_with_fake_tarpc("PROTOCOLS: jsonrpc\n" + liveness(1) + "\n", ClientThen::StopsReading);
    EXPECT_EQ(served.events,
              (std::vector<std::string>{
                  kServerWarn + "Protocol negotiation error: Broken pipe (os error 32) — falling back to JSON-RPC",
                  kServerWarn + "Write error: Broken pipe (os error 32)"}));
}

TEST_F(NegotiatedTest, ASilentClientThatClosesLogsNothing) {
    ::setenv(kVariable, "1", 1);
    const Served served = serve_negotiated_with_fake_tarpc("");
    EXPECT_EQ(served.received, "");
    EXPECT_EQ(served.events, std::vector<std::string>{});
}

// The two steps of serve_negotiated with the client's second write coming only after
// the negotiation gave up waiting.
asio::awaitable<void> negotiate_then_serve(SocketPair& pair, std::string later) {
    protocol_negotiation::LineReader reader(std::move(pair.server));
    const auto outcome = co_await protocol_negotiation::negotiate(reader, protocol_negotiation::kServerProtocols, 1);
    EXPECT_TRUE(outcome && !*outcome);
    pair.send(later);
    pair.end_input();
    co_await serve_jsonrpc_lines(std::move(reader), make_store());
}

TEST_F(NegotiatedTest, BytesSentAcrossTheTimeLimitAreServed) {
    const struct {
        const char* what;
        std::string before;
        std::string after;
        std::string received;
    } cases[] = {
        {"a request after the limit", "", liveness(1) + "\n", alive(1)},
        {"a line started before the limit", "{\"id\":5,\"meth", "od\":\"health.liveness\"}\n", alive(5)},
        {"a negotiation line after the limit is a request", "", "PROTOCOLS: jsonrpc\n", kParseError},
    };
    for (const auto& c : cases) {
        SocketPair pair;
        pair.send(c.before);
        log::testing::Capture capture;
        pair.run(negotiate_then_serve(pair, c.after));
        EXPECT_EQ(pair.receive_all(), c.received) << c.what;
        EXPECT_EQ(capture.events(), std::vector<std::string>{}) << c.what;
    }
}

}  // namespace
}  // namespace quillfern::server
