// The gossip store's hot paths: ingest into a full topic and a query over 1024 entries.
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "quillfern/gossip_store.hpp"

namespace {

using namespace quillfern;
using gossip::GossipEntry;
using gossip::Topic;

constexpr std::size_t kBatch = 4096;

json::Value payload_of_size(std::size_t size) { return std::string(size, 'p'); }

// A store whose "data" topic holds 1024 entries ("k0".."k1023") of the given payload size.
std::unique_ptr<gossip::GossipStore> full_store(std::size_t payload_size) {
    auto store = std::make_unique<gossip::GossipStore>("bench");
    (void)store->start();
    const json::Value payload = payload_of_size(payload_size);
    for (std::size_t k = 0; k < gossip::kTopicCapacity; ++k) {
        store->inject(Topic::Data, "k" + std::to_string(k), payload);
    }
    return store;
}

// Entries as a peer would send them: shared key and payload, a nonce of their own.
class EntryMaker {
public:
    explicit EntryMaker(std::string key_prefix) : key_prefix_(std::move(key_prefix)) {}

    std::vector<GossipEntry> batch(std::size_t key_count, std::uint64_t version) {
        std::vector<GossipEntry> entries;
        entries.reserve(kBatch);
        const std::uint64_t now = gossip::system_now();
        for (std::size_t i = 0; i < kBatch; ++i) {
            GossipEntry entry;
            entry.topic = Topic::Data;
            entry.key = keys_.at((next_key_++) % key_count);
            entry.payload = payload_;
            entry.origin_gate = origin_;
            entry.nonce = "bench-nonce-" + std::to_string(next_nonce_++);
            entry.ttl = 5;
            entry.version = version;
            entry.created_at_epoch = now;
            entry.expires_at_epoch = now + 600;
            entries.push_back(std::move(entry));
        }
        return entries;
    }

    void make_keys(std::size_t count) {
        keys_.clear();
        for (std::size_t k = 0; k < count; ++k) keys_.push_back(gossip::share_text(key_prefix_ + std::to_string(k)));
    }

private:
    std::string key_prefix_;
    std::vector<gossip::SharedText> keys_;
    gossip::SharedPayload payload_ = gossip::share_payload(payload_of_size(100));
    gossip::SharedText origin_ = gossip::share_text("gate-b");
    std::size_t next_key_ = 0;
    std::uint64_t next_nonce_ = 0;
};

template <class Body>
void run_in_batches(benchmark::State& state, EntryMaker& maker, std::size_t key_count, Body body) {
    std::uint64_t version = 1'000'000'000'000;
    std::vector<GossipEntry> entries;
    std::size_t next = kBatch;
    for (auto _ : state) {
        if (next == kBatch) {
            state.PauseTiming();
            entries = maker.batch(key_count, ++version);
            next = 0;
            state.ResumeTiming();
        }
        body(std::move(entries[next++]));
    }
}

// A peer's entry under a new key into a full topic: refused with AtCapacity.
void BM_IngestFullTopicNewKey(benchmark::State& state) {
    auto store = full_store(100);
    EntryMaker maker("new-");
    maker.make_keys(100'000);
    run_in_batches(state, maker, 100'000,
                   [&](GossipEntry entry) { benchmark::DoNotOptimize(store->ingest(std::move(entry), "gate-b")); });
}
BENCHMARK(BM_IngestFullTopicNewKey);

// A peer's newer version of a held key in a full topic: Accepted, replacing the old entry,
// forward copy queued on a pending list at its bound.
void BM_IngestFullTopicNewerVersion(benchmark::State& state) {
    auto store = full_store(100);
    EntryMaker maker("k");
    maker.make_keys(gossip::kTopicCapacity);
    run_in_batches(state, maker, gossip::kTopicCapacity,
                   [&](GossipEntry entry) { benchmark::DoNotOptimize(store->ingest(std::move(entry), "gate-b")); });
}
BENCHMARK(BM_IngestFullTopicNewerVersion);

// A local inject into a full topic (fresh nonce, forward copy, ingest).
void BM_InjectFullTopic(benchmark::State& state) {
    auto store = full_store(100);
    std::vector<std::string> keys;
    for (std::size_t k = 0; k < gossip::kTopicCapacity; ++k) keys.push_back("k" + std::to_string(k));
    const json::Value payload = payload_of_size(100);
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(store->inject(Topic::Data, keys[next], payload));
        next = (next + 1) % keys.size();
    }
}
BENCHMARK(BM_InjectFullTopic);

// The copies of all 1024 live entries of a topic (payloads shared, not copied).
void BM_QueryFullTopic(benchmark::State& state) {
    auto store = full_store(1024);
    for (auto _ : state) {
        auto entries = store->query(Topic::Data, std::nullopt);
        benchmark::DoNotOptimize(entries.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * gossip::kTopicCapacity));
}
BENCHMARK(BM_QueryFullTopic)->Unit(benchmark::kMicrosecond);

// The same query written as the JSON array that a reply carries.
void BM_QueryFullTopicAsJson(benchmark::State& state) {
    auto store = full_store(1024);
    std::size_t bytes = 0;
    for (auto _ : state) {
        auto entries = store->query(Topic::Data, std::nullopt);
        std::string text;
        gossip::append_entries_json(text, entries);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_QueryFullTopicAsJson)->Unit(benchmark::kMicrosecond);

}  // namespace
