// Lines over the offload threshold are read on the runtime's pool, and a method answered at
// once runs there whole: each is answered like a short line, in order, beside short lines.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "connection_fixture.hpp"
#include "quillfern/dispatch.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

TEST(BigLinesTest, AreAnsweredLikeShortOnesInOrder) {
    auto store = started_store();
    const std::string big(dispatch::kOffloadLineBytes + 4096, 'b');
    const std::string lines =
        R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"big","payload":")" + big + "\"}}\n" +
        liveness(2) + "\n" + R"({"id":3,"method":"gossip.query","params":{"pad":")" + big +
        R"(","topic":"data","key_prefix":"b"}})" + "\n" + R"({"id":4,"method":"nope","params":{"pad":")" + big +
        "\"}}\n" + R"({"id":5,"method":"gossip.status","params":{"pad":")" + big + "\",}}\n" + liveness(6) + "\n";

    SocketPair pair;
    std::string received;
    std::thread reader([&] { received = pair.receive_all(); });
    std::thread sender([&] {
        pair.send(lines);  // far more than the socket holds: it waits for the loop to read
        pair.end_input();
    });
    pair.run(serve_jsonrpc_lines(protocol_negotiation::LineReader(std::move(pair.server)), store));
    sender.join();
    reader.join();

    const auto stored = store->query(gossip::Topic::Data, std::nullopt);
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(gossip::payload_text(stored[0].payload), '"' + big + '"');

    std::string query_reply;
    gossip::append_entries_json(query_reply, stored);
    query_reply = R"({"id":3,"jsonrpc":"2.0","result":{"count":1,"entries":)" + query_reply + R"(,"topic":"data"}})";
    EXPECT_EQ(received, R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-test","result":"Accepted"}})"
                        "\n" +
                            alive(2) + query_reply + "\n" +
                            R"({"error":{"code":-32601,"message":"Method not found"},"id":4,"jsonrpc":"2.0"})"
                            "\n" +
                            kParseError + alive(6));
}

}  // namespace
}  // namespace quillfern::server
