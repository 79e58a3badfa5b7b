// Replies far larger than the socket buffer: the line loop writes what the socket takes at
// once and waits for it to drain for the rest, without losing or reordering a byte.
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "connection_fixture.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

TEST(LargeRepliesTest, ArriveWholeAndInOrder) {
    auto store = started_store();
    // Eight entries of 256 KiB: one query reply is about 2 MiB.
    for (int k = 0; k < 8; ++k) {
        store->inject(gossip::Topic::Data, "k" + std::to_string(k), json::Value(std::string(256 * 1024, 'a' + k)));
    }
    const std::string query = R"({"id":1,"method":"gossip.query","params":{"topic":"data"}})";

    SocketPair pair;
    pair.send(query + "\n" + liveness(2) + "\n" + query + "\n");
    pair.end_input();
    std::string received;
    std::thread reader([&] { received = pair.receive_all(); });
    pair.run(serve_jsonrpc_lines(protocol_negotiation::LineReader(std::move(pair.server)), store));
    reader.join();

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
