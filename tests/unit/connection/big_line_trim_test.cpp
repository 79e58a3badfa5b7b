// A big line leaves memory behind in the allocator whether or not it is answered: the line
// loop has it given back to the system also when the line ends its connection unanswered.
#include <chrono>
#include <exception>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "connection_fixture.hpp"
#include "quillfern/dispatch.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

// Waits until memory was given back more than `trims` times; false after a generous limit.
bool trimmed_after(std::uint64_t trims) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (runtime::memory_trims() <= trims) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(BigLineTrimTest, ABigLineWhoseReplyCannotBeSentStillHasMemoryGivenBack) {
    auto store = make_store();
    ASSERT_TRUE(store->start().has_value());
    // One entry makes a reply longer than a chunk: the loop writes it while it is written.
    ASSERT_EQ(store->inject(gossip::Topic::Data, "k", json::Value(std::string(4 * dispatch::kReplyChunkBytes, 'v'))),
              gossip::IngestOutcome::Accepted);
    const std::uint64_t before = runtime::memory_trims();

    // A big query from a client that has stopped reading: its reply can't be written, so
    // the connection ends without one.
    const std::string big_query = R"({"id":1,"method":"gossip.query","params":{"pad":")" +
                                  std::string(dispatch::kOffloadLineBytes + 4096, 'p') +
                                  R"(","topic":"data"}})"
                                  "\n";
    SocketPair pair;
    pair.stop_reading();
    std::thread sender([&] {
        try {
            pair.send(big_query);  // more than the socket holds: it waits for the loop to read
            pair.end_input();
        } catch (const std::exception&) {
            // The loop may have closed its end already.
        }
    });
    log::testing::Capture capture;
    pair.run(serve_jsonrpc_lines(protocol_negotiation::LineReader(std::move(pair.server)), store));
    sender.join();
    EXPECT_EQ(capture.events(), std::vector<std::string>{kServerWarn + "Write error: Broken pipe (os error 32)"});
    EXPECT_TRUE(trimmed_after(before));
}

}  // namespace
}  // namespace quillfern::server
