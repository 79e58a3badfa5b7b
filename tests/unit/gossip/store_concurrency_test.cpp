// Many threads ingesting into one store: each nonce is accepted exactly once and the
// counters, the peer records and the nonce history stay consistent.
#include <algorithm>
#include <atomic>
#include <barrier>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "store_fixture.hpp"
#include "take_pending.hpp"

using ::quillfern::testing::take_pending;

namespace quillfern::gossip::testing {
namespace {

// Each thread sends its entries one by one, or in batches of a few dozen (as the spread
// handler hands them over).
class ConcurrentIngest : public StoreTest, public ::testing::WithParamInterface<std::size_t> {};

TEST_P(ConcurrentIngest, CopiesOfOneNonceAreAcceptedOnce) {
    constexpr int kThreads = 8;
    constexpr int kShared = 320;  // nonces every thread sends, each under its own key
    constexpr int kOwn = 40;      // nonces only one thread sends
    const std::size_t batch = GetParam();
    std::barrier start(kThreads + 1);
    std::vector<std::vector<IngestOutcome>> shared_outcomes(kThreads, std::vector<IngestOutcome>(kShared));
    std::atomic<int> own_accepted{0};
    std::atomic<bool> writers_done{false};

    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            const std::string peer_id = "peer-" + std::to_string(t);
            // The shared nonces in order, an own one after every eighth.
            std::vector<GossipEntry> entries;
            std::vector<int> shared_index;  // of each entry; -1 for an own one
            for (int i = 0; i < kShared; ++i) {
                const Topic topic = kTopics[static_cast<std::size_t>(i) % kTopics.size()];
                entries.push_back(make_entry({.topic = topic,
                                              .key = "t" + std::to_string(t) + "-s" + std::to_string(i),
                                              .nonce = "shared-" + std::to_string(i)}));
                shared_index.push_back(i);
                if (i % (kShared / kOwn) == 0) {
                    const int own = i / (kShared / kOwn);
                    entries.push_back(make_entry({.topic = topic,
                                                  .key = "t" + std::to_string(t) + "-o" + std::to_string(own),
                                                  .nonce = "own-" + std::to_string(t) + "-" + std::to_string(own)}));
                    shared_index.push_back(-1);
                }
            }
            start.arrive_and_wait();
            std::vector<IngestOutcome> outcomes;
            for (std::size_t at = 0; at < entries.size(); at += batch) {
                if (batch == 1) {
                    outcomes.push_back(store.ingest(std::move(entries[at]), peer_id));
                } else {
                    const std::size_t count = std::min(batch, entries.size() - at);
                    for (IngestOutcome outcome : store.ingest_batch(std::span(entries).subspan(at, count), peer_id)) {
                        outcomes.push_back(outcome);
                    }
                }
            }
            for (std::size_t k = 0; k < outcomes.size(); ++k) {
                if (shared_index[k] >= 0) {
                    shared_outcomes[t][shared_index[k]] = outcomes[k];
                } else if (outcomes[k] == IngestOutcome::Accepted) {
                    own_accepted.fetch_add(1);
                }
            }
        });
    }
    // A reader, the eviction pass and sweeps taking the queued copies run alongside the
    // writers.
    std::size_t swept = 0;
    std::thread reader([&] {
        start.arrive_and_wait();
        for (int round = 0; !writers_done.load(); ++round) {
            (void)store.query(Topic::Data, "t1-");
            (void)store.stats();
            (void)store.peer_stats();
            (void)store.evict_expired();
            if (round % 8 == 0) swept += store.take_pending_copies().size();
        }
    });
    for (auto& thread : threads) thread.join();
    writers_done.store(true);
    reader.join();

    for (int i = 0; i < kShared; ++i) {
        int accepted = 0;
        for (int t = 0; t < kThreads; ++t) {
            const IngestOutcome outcome = shared_outcomes[t][i];
            EXPECT_TRUE(outcome == IngestOutcome::Accepted || outcome == IngestOutcome::Duplicate);
            accepted += outcome == IngestOutcome::Accepted ? 1 : 0;
        }
        EXPECT_EQ(accepted, 1) << "shared-" << i;
    }
    EXPECT_EQ(own_accepted.load(), kThreads * kOwn);

    const std::uint64_t total = kShared + kThreads * kOwn;
    const StoreStats stats = store.stats();
    EXPECT_EQ(stats.total_ingested, total);
    EXPECT_EQ(stats.nonce_history_size, total);
    EXPECT_EQ(stats.varne_entries + stats.data_entries + stats.compute_entries, total);
    EXPECT_EQ(stats.peer_count, static_cast<std::size_t>(kThreads));
    EXPECT_EQ(swept + take_pending(store).size(), total);

    std::uint64_t received = 0;
    std::uint64_t rejected = 0;
    for (const auto& [id, record] : store.peer_stats()) {
        received += record.entries_received;
        rejected += record.entries_rejected;
    }
    EXPECT_EQ(received, total);
    EXPECT_EQ(rejected, static_cast<std::uint64_t>((kThreads - 1) * kShared));

    // Set and queue hold the same nonces: filling the history to the brim leaves it at
    // exactly 4096, and the oldest nonce is forgotten only then.
    for (std::uint64_t i = 0; i < kNonceHistoryCapacity; ++i) {
        ASSERT_EQ(store.ingest(make_entry({.key = "fill", .nonce = "fill-" + std::to_string(i), .version = i + 1}),
                               std::nullopt),
                  IngestOutcome::Accepted);
        if (i + total == kNonceHistoryCapacity - 1) {
            ASSERT_EQ(store.stats().nonce_history_size, kNonceHistoryCapacity);
        }
    }
    EXPECT_EQ(store.stats().nonce_history_size, kNonceHistoryCapacity);
    EXPECT_EQ(store.ingest(make_entry({.key = "again", .nonce = "shared-0"}), std::nullopt), IngestOutcome::Accepted);
    EXPECT_EQ(store.ingest(make_entry({.key = "again2", .nonce = "fill-4095"}), std::nullopt),
              IngestOutcome::Duplicate);
}

INSTANTIATE_TEST_SUITE_P(Batches, ConcurrentIngest, ::testing::Values(1, 37),
                         [](const auto& info) { return info.param == 1 ? "OneByOne" : "InBatches"; });

}  // namespace
}  // namespace quillfern::gossip::testing
