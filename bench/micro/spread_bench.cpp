// One spread sweep of 65,536 pending copies (100-byte payloads) to 1, 16 and 64 peers on
// loopback: the time from taking the batch to the last peer's reply, and the memory the
// sweep adds at its peak. The requests are built once per sweep whatever the peer count.
#include <stdlib.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/write.hpp>

#include "pending_entries.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/no_throw.hpp"
#include "sweep.hpp"

namespace {

using namespace quillfern;
using asio::ip::tcp;

constexpr std::size_t kPendingCopies = gossip::kPendingCapacity;  // 65,536

// Peers that read a batch to its newline (keeping none of it) and answer with a count.
class SinkPeers {
public:
    explicit SinkPeers(std::size_t count) : guard_(asio::make_work_guard(ctx_)) {
        acceptors_.reserve(count);  // the accept loops hold references to them
        for (std::size_t i = 0; i < count; ++i) {
            auto& acceptor = acceptors_.emplace_back(ctx_, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
            addresses_ += (i ? "," : "") + std::string("127.0.0.1:") + std::to_string(acceptor.local_endpoint().port());
            asio::co_spawn(ctx_, accept_loop(acceptor), asio::detached);
        }
        thread_ = std::thread([this] { ctx_.run(); });
    }
    ~SinkPeers() {
        ctx_.stop();
        thread_.join();
    }
    const std::string& addresses() const { return addresses_; }

private:
    static asio::awaitable<void> serve(tcp::socket socket) {
        std::vector<char> buffer(64 * 1024);
        for (;;) {
            auto [ec, n] = co_await socket.async_read_some(asio::buffer(buffer), kNoThrow);
            if (ec) co_return;
            if (std::memchr(buffer.data(), '\n', n) != nullptr) break;
        }
        static const std::string reply = R"({"id":null,"jsonrpc":"2.0","result":{"accepted":65536,"rejected":0}})"
                                         "\n";
        co_await asio::async_write(socket, asio::buffer(reply), kNoThrow);
    }
    static asio::awaitable<void> accept_loop(tcp::acceptor& acceptor) {
        for (;;) {
            auto [ec, socket] = co_await acceptor.async_accept(kNoThrow);
            if (ec) co_return;
            asio::co_spawn(acceptor.get_executor(), serve(std::move(socket)), asio::detached);
        }
    }

    asio::io_context ctx_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::vector<tcp::acceptor> acceptors_;
    std::string addresses_;
    std::thread thread_;
};

std::size_t status_kib(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(status, line)) {
        if (line.compare(0, length, field) == 0) return std::stoul(line.substr(length + 1));
    }
    return 0;
}

// Resets the peak RSS to the current RSS.
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

void BM_SpreadSweep(benchmark::State& state) {
    std::signal(SIGPIPE, SIG_IGN);
    const auto peer_count = static_cast<std::size_t>(state.range(0));
    SinkPeers peers(peer_count);
    ::setenv("QUILLFERN_PEERS", peers.addresses().c_str(), 1);
    ::setenv("VELLUMAR_RUNTIME_DIR", "/nonexistent-quillfern-bench", 1);  // no reedHorn
    ::unsetenv("REEDHORN_SOCKET");

    auto store = std::make_shared<gossip::GossipStore>("bench-gate");
    (void)store->start();
    const json::Value payload = std::string(100, 'p');
    asio::io_context ctx;
    std::size_t peak_growth_kib = 0;

    for (auto _ : state) {
        state.PauseTiming();
        for (std::size_t i = 0; i < kPendingCopies; ++i) {
            store->inject(gossip::Topic::Data, "k" + std::to_string(i % gossip::kTopicCapacity), payload);
        }
        const std::size_t before_kib = status_kib("VmRSS:");
        reset_peak_rss();
        state.ResumeTiming();

        auto deliveries = mesh::DeliveryQueues::create(ctx.get_executor(), store);
        asio::co_spawn(ctx, mesh::run_sweep(store, *deliveries), asio::detached);
        ctx.restart();
        ctx.run();  // the sweep and every delivery it queued

        state.PauseTiming();
        peak_growth_kib = std::max(peak_growth_kib, status_kib("VmHWM:") - before_kib);
        state.ResumeTiming();
    }
    state.counters["peers_reached"] = static_cast<double>(store->peer_stats().size());
    state.counters["sweep_peak_MiB"] = static_cast<double>(peak_growth_kib) / 1024.0;
    state.counters["copies_per_s"] =
        benchmark::Counter(static_cast<double>(kPendingCopies), benchmark::Counter::kIsIterationInvariantRate);
}
BENCHMARK(BM_SpreadSweep)->Arg(1)->Arg(16)->Arg(64)->Unit(benchmark::kMillisecond)->UseRealTime();

// The requests of a sweep of 65,536 copies, at most 8 MiB each, as the sweep writes them.
void BM_SpreadRequestsFromCopies(benchmark::State& state) {
    auto store = std::make_shared<gossip::GossipStore>("bench-gate");
    (void)store->start();
    const json::Value payload = std::string(100, 'p');
    for (std::size_t i = 0; i < kPendingCopies; ++i) {
        store->inject(gossip::Topic::Data, "k" + std::to_string(i % gossip::kTopicCapacity), payload);
    }
    const std::vector<gossip::PendingCopy> copies = store->take_pending_copies();
    std::size_t bytes = 0;
    std::size_t requests = 0;
    for (auto _ : state) {
        mesh::SpreadRequests split = mesh::spread_requests(store->node_id(), copies);
        bytes = 0;
        for (const auto& request : split.requests) bytes += request.text.size();
        requests = split.requests.size();
        benchmark::DoNotOptimize(split.requests.data());
    }
    state.counters["requests"] = static_cast<double>(requests);
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
}
BENCHMARK(BM_SpreadRequestsFromCopies)->Unit(benchmark::kMillisecond);

}  // namespace
