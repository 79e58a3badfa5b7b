// Memory of a stored entry: three topics filled with 1,024 entries each from a peer (100-byte
// payloads, 48-digit nonces), every one with its nonce remembered and its forward copy
// queued. Gives the growth of the resident set and of the heap in use per entry (a figure,
// not a speed: one iteration; run it alone so that nothing else shares the heap).
#include <malloc.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"

namespace {

using namespace quillfern;

std::size_t resident_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stoul(line.substr(6)) * 1024;
    }
    return 0;
}

// Bytes the allocator handed out, from its heap and in chunks of their own.
std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

std::string nonce_of(std::uint64_t n) {
    std::string digits(48, '0');
    for (std::size_t i = 48; i-- > 0 && n != 0; n >>= 4) digits[i] = "0123456789abcdef"[n & 0xF];
    return digits;
}

void BM_MemoryPerStoredEntry(benchmark::State& state) {
    const std::uint64_t now = gossip::system_now();
    const std::string payload = '"' + std::string(100, 'p') + '"';
    std::vector<std::string> texts;
    for (gossip::Topic topic : gossip::kTopics) {
        for (std::size_t i = 0; i < gossip::kTopicCapacity; ++i) {
            texts.push_back(R"({"created_at_epoch":)" + std::to_string(now) + R"(,"expires_at_epoch":)" +
                            std::to_string(now + 600) + R"(,"key":"k)" + std::to_string(i) + R"(","nonce":")" +
                            nonce_of(texts.size()) + R"(","origin_gate":"gate-b","payload":)" + payload +
                            R"(,"topic":")" + std::string(gossip::topic_name(topic)) + R"(","ttl":5,"version":1})");
        }
    }
    for (auto _ : state) {
        // From before the store is made: its fixed tables count too (the heap figure has
        // all of them, the resident one the pages they touch).
        malloc_trim(0);
        const std::size_t rss_before = resident_bytes();
        const std::size_t heap_before = heap_in_use();
        auto store = std::make_unique<gossip::GossipStore>("bench");
        (void)store->start();
        gossip::SharedText origin;
        for (const std::string& text : texts) {
            json::Reader reader(text);
            auto entry = gossip::GossipEntry::read(reader, 0, origin);
            origin = entry->origin_gate;
            if (store->ingest(std::move(*entry), "gate-b") != gossip::IngestOutcome::Accepted) {
                state.SkipWithError("an entry was refused");
            }
        }
        const std::size_t rss_after = resident_bytes();
        const std::size_t heap_after = heap_in_use();
        const auto count = static_cast<double>(texts.size());
        state.counters["rss_B_per_entry"] = static_cast<double>(rss_after - rss_before) / count;
        state.counters["heap_B_per_entry"] = static_cast<double>(heap_after - heap_before) / count;
        const gossip::StoreStats stats = store->stats();
        if (stats.nonce_history_size != texts.size()) state.SkipWithError("nonces missing");
    }
}
BENCHMARK(BM_MemoryPerStoredEntry)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
