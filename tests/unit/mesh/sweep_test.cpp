// The spread sweep and its loop: one request per sweep, built once, to every peer.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>

#include "spread_fixture.hpp"

namespace quillfern::spread {
namespace {

using testing::entry;
using testing::entry_text;
using testing::FakeLineServer;

std::string request_of(const std::vector<std::string>& entries, const std::string& from = "\"gate-a\"") {
    std::string list;
    for (const auto& e : entries) list += (list.empty() ? "" : ",") + e;
    return R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)" + list + R"(],"from":)" +
           from + "}}";
}

TEST(SpreadRequest, IsTheCompactGossipSpreadRequestOfTheBatch) {
    const std::vector<gossip::GossipEntry> batch{entry("k2", 4), entry("k1", 6)};
    const std::string request = spread_request("gate-a", batch);
    EXPECT_EQ(request, request_of({entry_text("k2", 4), entry_text("k1", 6)}));

    // The same text as the JSON forms of the records written whole.
    json::Value whole{{"id", nullptr},
                      {"jsonrpc", "2.0"},
                      {"method", "gossip.spread"},
                      {"params", {{"entries", gossip::entries_to_json(batch)}, {"from", "gate-a"}}}};
    EXPECT_EQ(request, json::to_string(whole));
    EXPECT_EQ(spread_request("gate \"a\"\n", batch),
              request_of({entry_text("k2", 4), entry_text("k1", 6)}, R"("gate \"a\"\n")"));
}

class Sweep : public testing::SpreadTest {
protected:
    void queue(const std::string& key) {
        ASSERT_EQ(store_->ingest(entry(key), "gate-b"), gossip::IngestOutcome::Accepted);
    }
    void sweep() {
        run(run_sweep(store_));
        drain();  // the deliveries it started
    }
    std::vector<std::string> info_events() const {
        std::vector<std::string> out;
        for (const auto& line : events())
            if (line.rfind("DEBUG", 0) != 0) out.push_back(line);
        return out;
    }

    std::shared_ptr<gossip::GossipStore> store_ = started_store();
};

const std::string ACCEPTED_ONE = R"({"id":null,"jsonrpc":"2.0","result":{"accepted":1,"rejected":0}})"
                                 "\n";

TEST_F(Sweep, SendsOneSharedRequestToEveryListedPeerDuplicatesIncluded) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address() + "," + peer->address());
    queue("k1");
    queue("k2");
    sweep();

    const std::string sent = "\xEC\x01" + request_of({entry_text("k1", 4), entry_text("k2", 4)}) + "\n";
    EXPECT_EQ(peer->received(), (std::vector<std::string>{sent, sent}));
    EXPECT_EQ(info_events(),
              std::vector<std::string>{
                  " INFO quillfern_server::spread: Epidemic sweep: spreading gossip to peers entries=2 peers=2"});
    EXPECT_TRUE(store_->take_pending().empty());
    EXPECT_EQ(store_->peer_stats().at(peer->address()).entries_sent, 2u);
}

TEST_F(Sweep, WithoutPeersTheCopiesStayQueuedForALaterSweep) {
    queue("k1");
    sweep();
    EXPECT_TRUE(events().empty());

    queue("k2");
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    sweep();
    EXPECT_EQ(peer->received(),
              std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4), entry_text("k2", 4)}) + "\n"});
}

TEST_F(Sweep, WithNothingPendingNoRequestIsBuilt) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    sweep();
    EXPECT_TRUE(info_events().empty());
    EXPECT_EQ(peer->connections(), 0u);
}

TEST_F(Sweep, EachBatchGoesOutOnce) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    queue("k1");
    sweep();
    sweep();
    queue("k2");
    sweep();
    EXPECT_EQ(peer->received(), (std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n",
                                                          "\xEC\x01" + request_of({entry_text("k2", 4)}) + "\n"}));
}

TEST_F(Sweep, PeersFromReedhornGetTheBatchAtTheirGossipAddress) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    port_env_.set(std::to_string(peer->port()));
    // 127.0.0.1 is refused as a peer host; "127.1" names the same address.
    auto reedhorn = start_reedhorn(FakeLineServer::answer(R"({"result":{"peers":[{"addr":"127.1:9"}]}})"
                                                          "\n"));
    queue("k1");
    sweep();
    EXPECT_EQ(peer->received(), std::vector<std::string>{"\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n"});
    EXPECT_EQ(store_->peer_stats().at("127.1:" + std::to_string(peer->port())).entries_sent, 1u);
}

// ---- The loop ----------------------------------------------------------------------------------

TEST_F(Sweep, TheLoopSweepsAtOnceAndThenEveryInterval) {
    auto peer = FakeLineServer::on_tcp_port(FakeLineServer::answer(ACCEPTED_ONE));
    peers_env_.set(peer->address());
    queue("k1");
    asio::co_spawn(ctx_, mesh::spread_loop(store_, 1), asio::detached);
    std::thread runner([this] { ctx_.run(); });

    EXPECT_TRUE(peer->wait_for_requests(1));  // the first tick runs at once
    queue("k2");
    EXPECT_TRUE(peer->wait_for_requests(2));  // a later tick takes what came meanwhile
    ctx_.stop();
    runner.join();
    ASSERT_GE(peer->received().size(), 2u);
    EXPECT_EQ(peer->received()[0], "\xEC\x01" + request_of({entry_text("k1", 4)}) + "\n");
    EXPECT_EQ(peer->received()[1], "\xEC\x01" + request_of({entry_text("k2", 4)}) + "\n");
}

}  // namespace
}  // namespace quillfern::spread
