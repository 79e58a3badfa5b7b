// Big traffic through the line loop. Lines over the offload threshold are read on the
// runtime's pool, and a method answered at once runs there whole: each is answered like a
// short line, in order, beside short lines. Replies far larger than the socket buffer are
// written as far as the socket takes them at once, the rest as it drains, without losing
// or reordering a byte.
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "connection_fixture.hpp"
#include "quillfern/dispatch.hpp"
#include "started_store.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

// Serves `lines` through the line loop on `store` and gives all the client received. The
// client sends from a thread of its own, since the lines may be far more than the socket
// holds (the sender then waits for the loop to read), and ends its stream after them.
std::string serve_lines(const std::shared_ptr<gossip::GossipStore>& store, const std::string& lines) {
    SocketPair pair;
    std::string received;
    std::thread reader([&] { received = pair.receive_all(); });
    std::thread sender([&] {
        pair.send(lines);
        pair.end_input();
    });
    pair.run(serve_jsonrpc_lines(protocol_negotiation::LineReader(std::move(pair.server)), store));
    sender.join();
    reader.join();
    return received;
}

TEST(BigLinesTest, AreAnsweredLikeShortOnesInOrder) {
    auto store = ::quillfern::testing::make_started_store("gate-test");
    const std::string big(dispatch::kOffloadLineBytes + 4096, 'b');
    const std::string received = serve_lines(
        store, R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"big","payload":")" + big + "\"}}\n" +
                   liveness(2) + "\n" + R"({"id":3,"method":"gossip.query","params":{"pad":")" + big +
                   R"(","topic":"data","key_prefix":"b"}})" + "\n" + R"({"id":4,"method":"nope","params":{"pad":")" +
                   big + "\"}}\n" + R"({"id":5,"method":"gossip.status","params":{"pad":")" + big + "\",}}\n" +
                   liveness(6) + "\n");

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

TEST(LargeRepliesTest, ArriveWholeAndInOrder) {
    auto store = ::quillfern::testing::make_started_store("gate-test");
    // Eight entries of 256 KiB: one query reply is about 2 MiB.
    for (int k = 0; k < 8; ++k) {
        store->inject(gossip::Topic::Data, "k" + std::to_string(k), json::Value(std::string(256 * 1024, 'a' + k)));
    }
    const std::string query = R"({"id":1,"method":"gossip.query","params":{"topic":"data"}})";
    const std::string received = serve_lines(store, query + "\n" + liveness(2) + "\n" + query + "\n");

    // Each query reply holds every payload once; the liveness reply sits between them.
    const std::size_t first_end = received.find('\n');
    ASSERT_NE(first_end, std::string::npos);
    const std::string first = received.substr(0, first_end + 1);
    EXPECT_GT(first.size(), 8u * 256 * 1024);
    for (int k = 0; k < 8; ++k) {
        EXPECT_NE(first.find(std::string(256 * 1024, 'a' + k)), std::string::npos) << k;
    }
    EXPECT_EQ(received, first + alive(2) + first);
}

}  // namespace
}  // namespace quillfern::server
