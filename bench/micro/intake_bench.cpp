// Taking entries in: one entry read straight from its text, a payload written in its
// canonical form, and a whole "gossip.spread" batch of 1000 entries answered by the
// dispatcher (per entry).
#include <cstdio>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "quillfern/dispatch.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"

namespace {

using namespace quillfern;

constexpr std::size_t kBatch = 1000;
constexpr std::size_t kNonceDigits = 12;
constexpr std::size_t kVersionDigits = 16;

std::string payload_text(std::size_t size) {
    std::string payload(size, 'x');
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + i % 26);
    return '"' + payload + '"';
}

// One entry as a peer's sweep writes it, 100-byte payload; `nonce_at` and `version_at`
// are set to where its fixed-width nonce digits and version digits begin.
std::string entry_text(std::size_t key, std::size_t& nonce_at, std::size_t& version_at) {
    const std::uint64_t now = gossip::system_now();
    std::string text = R"({"created_at_epoch":)" + std::to_string(now) + R"(,"expires_at_epoch":)" +
                       std::to_string(now + 600) + R"(,"key":"k)" + std::to_string(key) + R"(","nonce":"bench-)";
    nonce_at = text.size();
    text += std::string(kNonceDigits, '0') + "-" + std::to_string(key) + R"(","origin_gate":"gate-b","payload":)" +
            payload_text(100) + R"(,"topic":"data","ttl":5,"version":)";
    version_at = text.size();
    text += "1" + std::string(kVersionDigits - 1, '0') + "}";
    return text;
}

void put_digits(std::string& text, std::size_t at, std::size_t width, std::uint64_t value) {
    for (std::size_t i = width; i-- > 0; value /= 10) text[at + i] = static_cast<char>('0' + value % 10);
}

// One entry of a batch read from its text into a GossipEntry.
void BM_EntryFromText(benchmark::State& state) {
    std::size_t nonce_at = 0, version_at = 0;
    const std::string text = entry_text(7, nonce_at, version_at);
    for (auto _ : state) {
        json::Reader reader(text);
        auto entry = gossip::GossipEntry::read(reader, 0);
        benchmark::DoNotOptimize(entry);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EntryFromText);

// The same entry parsed into a value first and decoded from it (the former way).
void BM_EntryFromParsedValue(benchmark::State& state) {
    std::size_t nonce_at = 0, version_at = 0;
    const std::string text = entry_text(7, nonce_at, version_at);
    for (auto _ : state) {
        auto entry = gossip::GossipEntry::from_json(*json::parse(text));
        benchmark::DoNotOptimize(entry);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_EntryFromParsedValue);

// Payloads to canonical text: a 100-byte string, an object whose keys come sorted, and
// the same object with its keys in reverse order.
void BM_PayloadCanonical(benchmark::State& state, std::string text) {
    for (auto _ : state) {
        auto canonical = json::canonical_text(text);
        benchmark::DoNotOptimize(canonical);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_PayloadCanonical, string_100, payload_text(100));
BENCHMARK_CAPTURE(BM_PayloadCanonical, object_sorted,
                  std::string(R"({"cpu":0.25,"gate":"gate-b","load":[1.5,0.75,0.5],"mem":123456789,"ok":true})"));
BENCHMARK_CAPTURE(BM_PayloadCanonical, object_unsorted,
                  std::string(R"({"ok":true,"mem":123456789,"load":[1.5,0.75,0.5],"gate":"gate-b","cpu":0.25})"));

// A whole "gossip.spread" line of 1000 entries (thornKit absent) through the dispatcher
// into a store; every entry fresh (its nonce and version rise each round), or after the
// first round every entry a duplicate.
void spread_batch(benchmark::State& state, bool duplicates, bool plain) {
    ::setenv("QUILLFERN_THORNKIT_SOCK", "/nonexistent/quillfern-bench/thornkit.sock", 1);
    auto store = std::make_shared<gossip::GossipStore>("bench");
    (void)store->start();
    // A member of its own in the envelope has the line read in full rather than in its plain form.
    std::string line = std::string(plain ? "{" : R"({"note":0,)") +
                       R"("id":1,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)";
    std::vector<std::size_t> nonces, versions;
    for (std::size_t i = 0; i < kBatch; ++i) {
        std::size_t nonce_at = 0, version_at = 0;
        if (i != 0) line += ',';
        const std::size_t base = line.size();
        line += entry_text(i, nonce_at, version_at);
        nonces.push_back(base + nonce_at);
        versions.push_back(base + version_at);
    }
    line += R"(],"from":"gate-b"}})";

    asio::io_context io;
    std::string reply;
    std::uint64_t round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        if (!duplicates || round == 0) {
            ++round;
            for (std::size_t i = 0; i < kBatch; ++i) {
                put_digits(line, nonces[i], kNonceDigits, round);
                put_digits(line, versions[i], kVersionDigits, 1'000'000'000'000'000 + round);
            }
        }
        state.ResumeTiming();
        asio::co_spawn(io, dispatch::handle_request(line, store),
                       [&reply](std::exception_ptr, std::string text) { reply = std::move(text); });
        io.run();
        io.restart();
    }
    const char* expected = duplicates && state.iterations() > 1 ? R"("accepted":0,)" : R"("accepted":1000,)";
    if (reply.find(expected) == std::string::npos) state.SkipWithError(("unexpected reply " + reply).c_str());
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kBatch));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
void BM_SpreadBatchPerEntry(benchmark::State& state) { spread_batch(state, false, true); }
BENCHMARK(BM_SpreadBatchPerEntry)->Unit(benchmark::kMicrosecond);
void BM_SpreadBatchReadInFull(benchmark::State& state) { spread_batch(state, false, false); }
BENCHMARK(BM_SpreadBatchReadInFull)->Unit(benchmark::kMicrosecond);

// The same line sent again and again: every entry a duplicate by its nonce.
void BM_SpreadBatchDuplicate(benchmark::State& state) { spread_batch(state, true, true); }
BENCHMARK(BM_SpreadBatchDuplicate)->Unit(benchmark::kMicrosecond);
void BM_SpreadBatchDuplicateReadInFull(benchmark::State& state) { spread_batch(state, true, false); }
BENCHMARK(BM_SpreadBatchDuplicateReadInFull)->Unit(benchmark::kMicrosecond);

}  // namespace
