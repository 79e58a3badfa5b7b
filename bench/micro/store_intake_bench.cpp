// The store's intake paths, per entry: a peer's batch taken in slice by slice (every
// entry accepted), the same entries arriving again (duplicates by nonce), the same three
// for entries read in place as views (their blocks built by the store, and only for the
// entries it keeps; duplicates by nonce and by version), a local inject with the pending
// list at its bound, and the pending list filled to its bound and taken.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "pending_entries.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"

namespace {

using namespace quillfern;
using gossip::GossipEntry;
using gossip::Topic;

constexpr std::size_t kBatch = 1024;  // entries per batch: one per key of a topic
constexpr std::size_t kSlice = 256;   // entries a connection takes in before it yields

std::string payload_text(std::size_t size) {
    std::string payload(size, 'x');
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + i % 26);
    return '"' + payload + '"';
}

// 48 hex digits, like the nonces gates make.
std::string nonce_of(std::uint64_t n) {
    std::string digits(48, '0');
    for (std::size_t i = 48; i-- > 0 && n != 0; n >>= 4) digits[i] = "0123456789abcdef"[n & 0xF];
    return digits;
}

// A peer's batch as its sweep writes it, read entry by entry from the text: key "k<i>",
// a 100-byte payload, nonces from `first_nonce` on, every version `version`.
std::vector<GossipEntry> peer_batch(std::uint64_t first_nonce, std::uint64_t version) {
    const std::uint64_t now = gossip::system_now();
    const std::string payload = payload_text(100);
    std::vector<GossipEntry> entries;
    entries.reserve(kBatch);
    gossip::SharedText origin;
    for (std::size_t i = 0; i < kBatch; ++i) {
        const std::string text = R"({"created_at_epoch":)" + std::to_string(now) + R"(,"expires_at_epoch":)" +
                                 std::to_string(now + 600) + R"(,"key":"k)" + std::to_string(i) + R"(","nonce":")" +
                                 nonce_of(first_nonce + i) + R"(","origin_gate":"gate-b","payload":)" + payload +
                                 R"(,"topic":"data","ttl":5,"version":)" + std::to_string(version) + "}";
        json::Reader reader(text);
        auto entry = GossipEntry::read(reader, 0, origin);
        origin = entry->origin_gate;
        entries.push_back(std::move(*entry));
    }
    return entries;
}

// One slice of a peer's batch into the store, the way the spread handler hands it over.
void ingest_slice(gossip::GossipStore& store, std::span<GossipEntry> slice) {
    benchmark::DoNotOptimize(store.ingest_batch(slice, "gate-b"));
}

void ingest_in_slices(gossip::GossipStore& store, std::vector<GossipEntry>& entries) {
    for (std::size_t at = 0; at < entries.size(); at += kSlice) {
        ingest_slice(store, std::span(entries).subspan(at, std::min(kSlice, entries.size() - at)));
    }
}

std::unique_ptr<gossip::GossipStore> running_store() {
    auto store = std::make_unique<gossip::GossipStore>("bench");
    (void)store->start();
    return store;
}

// As many keys as a topic holds: "k0", "k1", ...
std::vector<std::string> topic_keys() {
    std::vector<std::string> keys;
    for (std::size_t k = 0; k < gossip::kTopicCapacity; ++k) keys.push_back("k" + std::to_string(k));
    return keys;
}

// Each copy or entry's JSON text and a comma, as the sweep's request holds them.
template <class Taken>
void append_each(std::string& request, const std::vector<Taken>& taken) {
    for (const Taken& one : taken) {
        gossip::append_entry_json(request, one);
        request += ',';
    }
}

// The pending benches' set-up: a running store, a 100-byte payload and a topic's worth of
// keys.
struct PendingBench {
    std::unique_ptr<gossip::GossipStore> store = running_store();
    std::string payload = payload_text(100);
    std::vector<std::string> keys = topic_keys();

    // Injects of the payload over the keys in turn until the pending list is at its bound.
    void fill() {
        for (std::size_t i = 0; i < gossip::kPendingCapacity; ++i) {
            store->inject_payload(Topic::Data, keys[i % keys.size()], payload);
        }
    }
};

// Every entry accepted: each round carries a newer version of every key. The pending
// list is emptied every 32 rounds, as sweeps would, outside the timing.
void BM_BatchIngestAccepted(benchmark::State& state) {
    auto store = running_store();
    std::uint64_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (round % 32 == 0) benchmark::DoNotOptimize(bench::take_pending_entries(*store));
        std::vector<GossipEntry> entries = peer_batch(round * kBatch, 1'000'000'000'000 + round);
        ++round;
        state.ResumeTiming();
        ingest_in_slices(*store, entries);
    }
    if (store->stats().total_ingested != round * kBatch) state.SkipWithError("not every entry was accepted");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_BatchIngestAccepted)->Unit(benchmark::kMicrosecond);

// The same batch arriving again from another gate: every entry a duplicate by its nonce.
void BM_BatchIngestDuplicateNonce(benchmark::State& state) {
    auto store = running_store();
    std::vector<GossipEntry> first = peer_batch(0, 1'000'000'000'000);
    std::vector<GossipEntry> again;
    for (const GossipEntry& entry : first) again.push_back(entry.clone());
    ingest_in_slices(*store, first);
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<GossipEntry> entries;
        entries.reserve(again.size());
        for (const GossipEntry& entry : again) entries.push_back(entry.clone());
        state.ResumeTiming();
        ingest_in_slices(*store, entries);
    }
    if (store->stats().total_ingested != kBatch) state.SkipWithError("a duplicate was accepted");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_BatchIngestDuplicateNonce)->Unit(benchmark::kMicrosecond);

// A peer's batch as views into its entries' texts, which it keeps: key "k<i>", a 100-byte
// payload, nonces from `first_nonce` on, every version `version`.
struct ViewBatch {
    std::vector<std::string> texts;
    std::vector<gossip::EntryView> views;

    ViewBatch(std::uint64_t first_nonce, std::uint64_t version) {
        const std::uint64_t now = gossip::system_now();
        const std::string payload = payload_text(100);
        texts.reserve(kBatch);
        for (std::size_t i = 0; i < kBatch; ++i) {
            texts.push_back(R"({"created_at_epoch":)" + std::to_string(now) + R"(,"expires_at_epoch":)" +
                            std::to_string(now + 600) + R"(,"key":"k)" + std::to_string(i) + R"(","nonce":")" +
                            nonce_of(first_nonce + i) + R"(","origin_gate":"gate-b","payload":)" + payload +
                            R"(,"topic":"data","ttl":5,"version":)" + std::to_string(version) + "}");
            json::PlainReader reader(texts.back());
            views.push_back(gossip::EntryView::read(reader));
        }
    }

    void ingest_in_slices(gossip::GossipStore& store) const {
        for (std::size_t at = 0; at < views.size(); at += kSlice) {
            const std::span<const gossip::EntryView> slice(views.data() + at, std::min(kSlice, views.size() - at));
            benchmark::DoNotOptimize(store.ingest_views(slice, "gate-b"));
        }
    }
};

void BM_ViewIngestAccepted(benchmark::State& state) {
    auto store = running_store();
    std::uint64_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (round % 32 == 0) benchmark::DoNotOptimize(bench::take_pending_entries(*store));
        const ViewBatch batch(round * kBatch, 1'000'000'000'000 + round);
        ++round;
        state.ResumeTiming();
        batch.ingest_in_slices(*store);
    }
    if (store->stats().total_ingested != round * kBatch) state.SkipWithError("not every entry was accepted");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_ViewIngestAccepted)->Unit(benchmark::kMicrosecond);

// The same views again: every entry a duplicate by its nonce, found before it is built.
void BM_ViewIngestDuplicateNonce(benchmark::State& state) {
    auto store = running_store();
    const ViewBatch batch(0, 1'000'000'000'000);
    batch.ingest_in_slices(*store);
    for (auto _ : state) batch.ingest_in_slices(*store);
    if (store->stats().total_ingested != kBatch) state.SkipWithError("a duplicate was accepted");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_ViewIngestDuplicateNonce)->Unit(benchmark::kMicrosecond);

// Copies whose nonces the history has forgotten: every entry a duplicate by its version.
void BM_ViewIngestDuplicateVersion(benchmark::State& state) {
    auto store = running_store();
    const ViewBatch first(0, 1'000'000'000'000);
    first.ingest_in_slices(*store);
    const ViewBatch again(1'000'000, 1'000'000'000'000);
    for (auto _ : state) again.ingest_in_slices(*store);
    if (store->stats().total_ingested != kBatch) state.SkipWithError("a duplicate was accepted");
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
}
BENCHMARK(BM_ViewIngestDuplicateVersion)->Unit(benchmark::kMicrosecond);

// A local inject of a 100-byte payload, as "gossip.inject" hands it over, with the
// pending list at its bound (each copy queued drops the oldest).
void BM_InjectAtPendingBound(benchmark::State& state) {
    PendingBench bench;
    bench.fill();
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(bench.store->inject_payload(Topic::Data, bench.keys[next], bench.payload));
        next = (next + 1) % bench.keys.size();
    }
}
BENCHMARK(BM_InjectAtPendingBound);

// The pending list filled to its bound by injects and taken by a sweep, per copy: what
// a gate whose list drains every interval pays for it.
void BM_PendingFillAndTake(benchmark::State& state) {
    PendingBench bench;
    for (auto _ : state) {
        bench.fill();
        std::vector<GossipEntry> taken = quillfern::bench::take_pending_entries(*bench.store);
        benchmark::DoNotOptimize(taken.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * gossip::kPendingCapacity));
}
BENCHMARK(BM_PendingFillAndTake)->Unit(benchmark::kMillisecond);

// Rounds of a sweep's writing: the pending list filled, taken by `take` (which may size
// the request for what it took) and each one written as the request holds it.
template <class Take>
void fill_take_and_write(benchmark::State& state, Take take) {
    PendingBench bench;
    std::string request;
    for (auto _ : state) {
        bench.fill();
        request.clear();
        const auto taken = take(*bench.store, request);
        append_each(request, taken);
        benchmark::DoNotOptimize(request.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * gossip::kPendingCapacity));
}

// The same, the sweep taking the copies as they are queued (each shares its stored
// entry's block) and writing them as its request does.
void BM_PendingFillAndTakeCopies(benchmark::State& state) {
    fill_take_and_write(state, [](gossip::GossipStore& store, std::string& request) {
        std::vector<gossip::PendingCopy> taken = store.take_pending_copies();
        std::size_t size = 0;
        for (const gossip::PendingCopy& copy : taken) size += copy.json_size() + 1;
        request.reserve(size);
        return taken;
    });
}
BENCHMARK(BM_PendingFillAndTakeCopies)->Unit(benchmark::kMillisecond);

// For comparison: the copies taken as entries and written the same way.
void BM_PendingFillAndTakeEntries(benchmark::State& state) {
    fill_take_and_write(state,
                        [](gossip::GossipStore& store, std::string&) { return bench::take_pending_entries(store); });
}
BENCHMARK(BM_PendingFillAndTakeEntries)->Unit(benchmark::kMillisecond);

}  // namespace
