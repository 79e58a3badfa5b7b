// The real binary's queue of forward copies against hostile peers: a peer that floods it
// between two sweeps past either of its bounds pays for the flood itself, and the copies
// of a good peer and of this gate's own clients all reach the next gate; a copy too large
// for any spread request is taken in, never sent, and counted in the sweep's WARN.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "hostile_mesh.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::testing {
namespace {

using ::testing::EndsWith;
using ::testing::IsEmpty;
using ::testing::Not;

// 127.0.0.2, in host byte order: a loopback address that reedHorn may name as a peer (one
// naming 127.0.0.1 or localhost is never taken).
constexpr std::uint32_t kSecondLoopback = 0x7F000002;

// The lines of `out` that hold `text`.
std::vector<std::string> lines_with(const std::string& out, std::string_view text) {
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
        if (line.find(text) != std::string::npos) lines.push_back(line);
    return lines;
}

// The 100 keys of the good peer's batch and the 10 this gate's client injects.
std::set<std::string> good_and_local_keys() {
    std::set<std::string> keys;
    for (int i = 0; i < 100; ++i) keys.insert("good-" + std::to_string(i));
    for (int i = 0; i < 10; ++i) keys.insert("local-" + std::to_string(i));
    return keys;
}

class ForwardCopies : public HostileMesh {
protected:
    // The good peer's 100 entries on a connection of its own, answered in full.
    void send_good_batch() {
        Client good = peer();
        good.send(spread_line("good-", 100, "1", "gate-good"));
        EXPECT_EQ(good.read_line(std::chrono::seconds(30)), all_accepted("1", 100));
    }
    void inject_local() {
        for (int i = 0; i < 10; ++i) inject("local-" + std::to_string(i));
    }
};

// ---- A flood between two sweeps -------------------------------------------------------

// A flood of entries, each a newer version of one of 512 keys in a topic of their own (a
// topic holds at most 1,024 keys), so that the store takes every one in and queues its
// forward copy.
struct FloodCase {
    const char* name;
    std::size_t entries;
    std::size_t payload_bytes;  // of the string inside each entry's payload
    std::size_t per_batch;
};
void PrintTo(const FloodCase& c, std::ostream* os) { *os << c.name; }

constexpr std::size_t kFloodKeys = 512;
constexpr std::size_t kBigPayloadBytes = std::size_t{64} << 10;

class ForwardCopyFlood : public ForwardCopies, public ::testing::WithParamInterface<FloodCase> {
protected:
    // The flood's batches, one after the other on one connection, each answered before
    // the next is sent.
    void flood() {
        const FloodCase& flood = GetParam();
        const std::string payload = R"({"d":")" + std::string(flood.payload_bytes, 'x') + R"("})";
        const std::uint64_t now = epoch_now();
        Client flooder = peer();
        for (std::size_t first = 0, batch = 1; first < flood.entries; first += flood.per_batch, ++batch) {
            const std::size_t count = std::min(flood.per_batch, flood.entries - first);
            std::string entries;
            entries.reserve(count * (payload.size() + 256));
            for (std::size_t i = first; i < first + count; ++i) {
                if (i > first) entries += ',';
                EntryText{.key = "flood-" + std::to_string(i % kFloodKeys),
                          .nonce = "flood-n" + std::to_string(i),
                          .version = 1 + i / kFloodKeys,
                          .topic = "compute",
                          .payload = payload,
                          .origin = "gate-flood"}
                    .append_to(entries, now);
            }
            const std::string id = std::to_string(batch);
            flooder.send(spread_request(entries, "gate-flood", id));
            ASSERT_EQ(flooder.read_line(std::chrono::seconds(60)), all_accepted(id, count));
        }
    }
};

// The good peer's batch and the local injects come first and are the oldest copies in the
// queue; then the flood passes its bound. The sweeps find no peer until the flood is in
// (reedHorn names none until then), so the queue is swept only once it has overflowed.
// Room is taken from the flooding peer, who holds the most: the next gate gets every good
// and every local copy, and each drop WARN names the flooder.
TEST_P(ForwardCopyFlood, TheFloodingPeerPaysForItsFloodAndEveryGoodAndLocalCopyGoesOn) {
    auto next_gate = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED), kSecondLoopback);
    auto open = std::make_shared<std::atomic<bool>>(false);
    auto reedhorn = FakeLineServer::on_unix_socket(
        dir.file("rh.sock"), FakeLineServer::route([open](std::string_view request) -> std::string {
            if (request.find(R"("method":"mesh.peers")") == std::string_view::npos) return {};
            const std::string_view peers = open->load() ? R"([{"addr":"127.0.0.2"}])" : "[]";
            return R"({"id":1,"jsonrpc":"2.0","result":{"peers":)" + std::string(peers) + "}}\n";
        }));
    auto server = start({{"REEDHORN_SOCKET", dir.file("rh.sock")}, {"GOSSIP_PORT", std::to_string(next_gate->port())}});

    send_good_batch();
    inject_local();
    ASSERT_NO_FATAL_FAILURE(flood());
    ASSERT_TRUE(server->wait_for_output(" WARN quillfern_core::gossip: Pending forward copies dropped dropped="))
        << server->out();
    EXPECT_EQ(next_gate->connections(), 0u);  // nothing was swept from the queue yet

    open->store(true);
    EXPECT_THAT(wait_for_keys(*next_gate, good_and_local_keys()), IsEmpty()) << server->out();
    const std::vector<std::string> drops = lines_with(server->out(), "Pending forward copies dropped");
    ASSERT_THAT(drops, Not(IsEmpty()));
    for (const std::string& line : drops) EXPECT_THAT(line, EndsWith(" from=gate-flood"));
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Bounds, ForwardCopyFlood,
    ::testing::Values(
        // Small entries, more of them than the queue holds copies.
        FloodCase{"PastTheCopyBound", gossip::kPendingCapacity + gossip::kPendingCapacity / 16, 4, 8192},
        // Entries of 64 KiB, more bytes of them than the queue holds.
        FloodCase{"PastTheByteBound", gossip::kPendingBytes / kBigPayloadBytes * 17 / 16, kBigPayloadBytes, 96}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- A copy no spread request can carry -----------------------------------------------

// A peer's entry larger than a spread request may be is taken in, and its forward copy
// never queued: the next gate gets every good and local copy and never the big one, and
// the sweep says it dropped one.
TEST_F(ForwardCopies, ACopyTooLargeForAnySpreadRequestIsCountedAndNeverSent) {
    auto next_gate = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED));
    auto server = start({{"QUILLFERN_PEERS", next_gate->address()}});
    {
        const std::string payload = R"({"d":")" + std::string(gossip::kMaxSpreadRequestBytes, 'x') + R"("})";
        const EntryText big_entry{.key = "big-0", .nonce = "big-n0", .payload = payload, .origin = "gate-big"};
        std::string entry;
        big_entry.append_to(entry, epoch_now());
        Client big = peer();
        big.send(spread_request(entry, "gate-big", "1"));
        EXPECT_EQ(big.read_line(std::chrono::seconds(30)), all_accepted("1", 1));
    }
    send_good_batch();
    inject_local();

    EXPECT_THAT(wait_for_keys(*next_gate, good_and_local_keys()), IsEmpty()) << server->out();
    // The big copy was ahead of every good one: had it gone, it would have come first.
    for (const std::string& batch : next_gate->received())
        EXPECT_EQ(batch.find(R"("key":"big-0")"), std::string::npos) << batch.size() << " bytes";
    const std::string warning =
        " WARN quillfern_server::spread: Gossip entries too large for any spread request dropped count=1 limit_bytes=" +
        std::to_string(gossip::kMaxSpreadRequestBytes) + "\n";
    EXPECT_TRUE(server->wait_for_output(warning)) << server->out();
    EXPECT_EQ(count_of(server->out(), "Gossip entries too large for any spread request dropped"), 1u);
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

}  // namespace
}  // namespace quillfern::testing
