// Long replies handed on in chunks while they are built: the bytes are those of the whole
// reply, no chunk waits for the end, a sink that gives up stops the reply; big lines go
// through the offload, and lack of memory is never answered as a parse error.
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dispatch_fixture.hpp"
#include "quillfern/dispatch.hpp"

namespace quillfern::dispatch {
namespace {

using testing::EnvGuard;
using testing::kNow;
using testing::TempDir;

// A sink that records every chunk it is handed, or refuses from a given chunk on.
struct RecordingSink {
    std::string out;
    std::vector<std::string> chunks;
    std::size_t refuse_from = SIZE_MAX;
    std::vector<std::size_t> offloaded;  // text sizes handed to the offload

    ReplySink sink() {
        return ReplySink{out,
                         [this]() -> asio::awaitable<bool> {
                             if (chunks.size() >= refuse_from) co_return false;
                             chunks.push_back(std::exchange(out, {}));
                             co_return true;
                         },
                         [this](std::size_t bytes, std::function<void()> work) -> asio::awaitable<void> {
                             offloaded.push_back(bytes);
                             work();
                             co_return;
                         }};
    }
    std::string all() const {
        std::string joined;
        for (const auto& chunk : chunks) joined += chunk;
        return joined + out;
    }
};

class ReplyChunks : public ::testing::Test {
protected:
    std::string whole(std::string_view line) { return testing::run_task(ctx_, handle_request(line, store_)); }
    bool through(RecordingSink& recording, std::string_view line) {
        return testing::run_task(ctx_, answer(recording, line));
    }
    // Entries of `bytes` bytes each under "k0", "k1", …
    void fill_topic(int entries, std::size_t bytes) {
        for (int i = 0; i < entries; ++i) {
            store_->inject(gossip::Topic::Data, "k" + std::to_string(i), json::Value(std::string(bytes, 'p')));
        }
    }

    TempDir dir_;
    EnvGuard thornkit_{"QUILLFERN_THORNKIT_SOCK", dir_.file("absent.sock")};
    asio::io_context ctx_;
    std::shared_ptr<gossip::GossipStore> store_ = testing::make_started_store();

private:
    asio::awaitable<bool> answer(RecordingSink& recording, std::string_view line) {
        ReplySink sink = recording.sink();
        const bool answered = co_await append_reply(sink, line, store_);
        co_return answered;
    }
};

TEST_F(ReplyChunks, LongRepliesArriveInChunksWithTheBytesOfTheWholeReply) {
    fill_topic(40, 10'000);  // a reply of about 400 KB
    for (int p = 0; p < 2000; ++p) store_->record_sent("peer-" + std::to_string(p * 7919 % 2003), 1);  // ~220 KB
    const std::string lines[] = {
        R"({"id":1,"method":"gossip.query","params":{"topic":"data"}})",
        R"({"id":2,"method":"gossip.subscribe","params":{"topic":"data","key_prefix":"k1"}})",
        R"({"id":3,"method":"gossip.peers"})",
    };
    for (const std::string& line : lines) {
        RecordingSink recording;
        ASSERT_TRUE(through(recording, line)) << line;
        EXPECT_EQ(recording.all(), whole(line)) << line;
        ASSERT_FALSE(recording.chunks.empty()) << line;
        for (const std::string& chunk : recording.chunks) {
            EXPECT_GE(chunk.size(), kReplyChunkBytes) << line;
            EXPECT_LT(chunk.size(), kReplyChunkBytes + 16'000) << line;  // a chunk and at most one entry
        }
    }
}

TEST_F(ReplyChunks, PeersAreWrittenInTheOrderOfTheirIds) {
    for (const char* peer : {"b", "_", "a", "B", "\xC3\xA9", "aa"}) store_->record_sent(peer, 1);
    RecordingSink recording;
    ASSERT_TRUE(through(recording, R"({"id":1,"method":"gossip.peers"})"));
    const json::Value expected_peers = gossip::peers_to_json(store_->peer_stats());
    EXPECT_EQ(recording.all(), R"({"id":1,"jsonrpc":"2.0","result":{"node_id":"gate-a","peer_count":6,"peers":)" +
                                   json::to_string(expected_peers) + "}}");
}

TEST_F(ReplyChunks, ASinkThatGivesUpEndsTheReply) {
    fill_topic(40, 10'000);
    RecordingSink recording;
    recording.refuse_from = 2;
    EXPECT_FALSE(through(recording, R"({"id":1,"method":"gossip.query","params":{"topic":"data"}})"));
    EXPECT_EQ(recording.chunks.size(), 2u);
}

TEST_F(ReplyChunks, OnlyLinesOverTheThresholdAreOffloaded) {
    const std::string pad(kOffloadLineBytes, ' ');
    const std::string liveness = R"({"id":1,"method":"health.liveness"})";
    RecordingSink small;
    ASSERT_TRUE(through(small, liveness));
    EXPECT_TRUE(small.offloaded.empty());

    // Read and then taken apart through the offload, and answered like a short line.
    RecordingSink big;
    const std::string big_line = liveness + pad;
    ASSERT_TRUE(through(big, big_line));
    EXPECT_EQ(big.offloaded, (std::vector<std::size_t>{big_line.size(), 0}));
    EXPECT_EQ(big.all(), whole(liveness));
}

TEST_F(ReplyChunks, LackOfMemoryIsNeverAParseError) {
    // A request that needs more memory than it may have, and memory that runs out while
    // it is read: both reach the caller instead of a -32700 reply.
    const std::string line = R"({"id":1,"method":"gossip.inject","params":{"topic":"data","key":"k","payload":"x"}})" +
                             std::string(kOffloadLineBytes, ' ');
    std::string out;
    ReplySink too_large{out, {}, [](std::size_t, std::function<void()>) -> asio::awaitable<void> {
                            throw json::TooLarge();
                            co_return;
                        }};
    EXPECT_THROW(testing::run_task(ctx_, append_reply(too_large, line, store_)), json::TooLarge);
    ReplySink no_memory{out, {}, [](std::size_t, std::function<void()>) -> asio::awaitable<void> {
                            throw std::bad_alloc();
                            co_return;
                        }};
    EXPECT_THROW(testing::run_task(ctx_, append_reply(no_memory, line, store_)), std::bad_alloc);
    EXPECT_EQ(out, "");
}

}  // namespace
}  // namespace quillfern::dispatch
