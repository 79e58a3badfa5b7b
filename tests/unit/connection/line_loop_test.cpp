#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/read_until.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "connection_fixture.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

// Lines after the JSON-RPC signal go straight to the line loop.
Served serve_lines(const std::string& lines, ClientThen then = ClientThen::EndsInput) {
    return serve_with(handle_connection, std::string(kJsonrpcSignal) + lines, then);
}

TEST(LineLoopTest, EveryLineGetsOneReplyInOrder) {
    const std::string long_request =
        "{\"id\":9,\"method\":\"health.liveness\",\"pad\":\"" + std::string(3 * 8192, 'p') + "\"}";
    const Case cases[] = {
        {"pipelined lines",
         liveness(1) + "\n" + liveness(2) + "\n" + liveness(3) + "\n",
         alive(1) + alive(2) + alive(3),
         {}},
        {"CRLF", liveness(1) + "\r\n" + liveness(2) + "\r\n", alive(1) + alive(2), {}},
        {"last line without a newline", liveness(1) + "\n" + liveness(2), alive(1) + alive(2), {}},
        {"empty and blank lines", "\n \t \r\n", kParseError + kParseError, {}},
        {"Unicode white space is trimmed", "\u00A0" + liveness(4) + "\u2028\u3000\n", alive(4), {}},
        {"a line longer than the read buffer", long_request + "\n" + liveness(1) + "\n", alive(9) + alive(1), {}},
        {"many pipelined lines",
         [] {
             std::string lines;
             for (int id = 0; id < 500; ++id) lines += liveness(id) + "\n";
             return lines;
         }(),
         [] {
             std::string replies;
             for (int id = 0; id < 500; ++id) replies += alive(id);
             return replies;
         }(),
         {}},
        {"a line that is not UTF-8 ends the connection after the lines before it",
         liveness(1) + "\n\xC0\xAF\n" + liveness(3) + "\n",
         alive(1),
         {kServerWarn + "Read error: stream did not contain valid UTF-8"}},
        {"invalid UTF-8 in the last line",
         liveness(1) + "\n\xED\xA0\x80",
         alive(1),
         {kServerWarn + "Read error: stream did not contain valid UTF-8"}},
    };
    for (const Case& c : cases) {
        const Served served = serve_lines(c.input);
        EXPECT_EQ(served.received, c.received) << c.what;
        EXPECT_EQ(served.events, c.events) << c.what;
    }
}

TEST(LineLoopTest, SocketFailuresEndTheConnectionWithAWarning) {
    EXPECT_EQ(serve_lines(liveness(1) + "\n", ClientThen::StopsReading).events,
              std::vector<std::string>{kServerWarn + "Write error: Broken pipe (os error 32)"});
    EXPECT_EQ(serve_lines("{\"id\":", ClientThen::ResetsConnection).events,
              std::vector<std::string>{kServerWarn + "Read error: Connection reset by peer (os error 104)"});
}

asio::awaitable<void> serve_with_limit(transport::TransportStream stream, std::size_t limit) {
    co_await serve_jsonrpc_lines(protocol_negotiation::LineReader(std::move(stream), limit), make_store());
}

TEST(LineLoopTest, ALineOverTheLimitClosesTheConnection) {
    const std::string at_limit = liveness(2) + std::string(64 - liveness(2).size(), ' ');
    const Case cases[] = {
        {"a line of exactly the limit is served", liveness(1) + "\n" + at_limit + "\n", alive(1) + alive(2), {}},
        {"one byte more",
         liveness(1) + "\n" + at_limit + " \n" + liveness(3) + "\n",
         alive(1),
         {kServerWarn + "Request line too long — closing connection"}},
        {"one byte more without a newline",
         at_limit + " ",
         "",
         {kServerWarn + "Request line too long — closing connection"}},
    };
    for (const Case& c : cases) {
        const Served served = serve_with(
            [](transport::TransportStream stream, auto) { return serve_with_limit(std::move(stream), 64); }, c.input);
        EXPECT_EQ(served.received, c.received) << c.what;
        EXPECT_EQ(served.events, c.events) << c.what;
    }
}

// A client that waits for each reply before it sends the next request: the loop must
// have written every ready reply before it waits for more bytes.
asio::awaitable<void> converse(asio::local::stream_protocol::socket& client, const std::vector<std::string>& requests,
                               std::vector<std::string>& replies) {
    std::string buffer;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const std::string request = (i == 0 ? "\xEC\x01" : "") + requests[i] + "\n";
        co_await asio::async_write(client, asio::buffer(request), asio::use_awaitable);
        const std::size_t end =
            co_await asio::async_read_until(client, asio::dynamic_buffer(buffer), '\n', asio::use_awaitable);
        replies.push_back(buffer.substr(0, end));
        buffer.erase(0, end);
    }
    client.shutdown(asio::socket_base::shutdown_send);
}

asio::awaitable<void> serve_and_converse(SocketPair& pair, const std::vector<std::string>& requests,
                                         std::vector<std::string>& replies) {
    using namespace asio::experimental::awaitable_operators;
    co_await (handle_connection(std::move(pair.server), make_store()) && converse(pair.client, requests, replies));
}

TEST(LineLoopTest, RepliesAreWrittenBeforeTheLoopWaitsForTheNextLine) {
    // A liveness request, padded past the read buffer when `long_line`.
    const auto request = [](int id, bool long_line) {
        if (!long_line) return liveness(id);
        return "{\"id\":" + std::to_string(id) + ",\"method\":\"health.liveness\",\"pad\":\"" +
               std::string(5 * 8192, 'p') + "\"}";
    };
    const struct {
        const char* what;
        std::vector<bool> long_lines;  // one request per element, ids from 1
    } cases[] = {
        {"short lines", {false, false, false}},
        // The buffer grown for the first is kept for the next ones.
        {"lines longer than the read buffer", {true, true, false, true}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> requests;
        std::vector<std::string> expected;
        for (std::size_t i = 0; i < c.long_lines.size(); ++i) {
            requests.push_back(request(static_cast<int>(i + 1), c.long_lines[i]));
            expected.push_back(alive(static_cast<int>(i + 1)));
        }
        SocketPair pair;
        std::vector<std::string> replies;
        pair.run(serve_and_converse(pair, requests, replies));
        EXPECT_EQ(replies, expected) << c.what;
        EXPECT_EQ(pair.receive_all(), "") << c.what;
    }
}

}  // namespace
}  // namespace quillfern::server
