// Reading and writing the lines of the JSON-RPC socket: a typical request line parsed into
// a value, a typical reply line written, and whole requests answered by the dispatcher.
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>

#include "quillfern/dispatch.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "quillfern/rpc_types.hpp"

namespace {

using namespace quillfern;

std::string payload_of_size(std::size_t size) {
    std::string payload(size, 'x');
    for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<char>('a' + i % 26);
    return payload;
}

std::string inject_line(std::uint64_t id, std::string_view key) {
    return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
           R"(,"method":"gossip.inject","params":{"topic":"data","key":")" + std::string(key) + R"(","payload":")" +
           payload_of_size(100) + R"("}})";
}

const std::string kQueryLine = R"({"jsonrpc":"2.0","id":7,"method":"gossip.query","params":{"topic":"data"}})";
const std::string kLivenessLine = R"({"jsonrpc":"2.0","id":7,"method":"health.liveness"})";

// Runs one dispatcher call to its end on a private io_context (it never waits on I/O).
class Dispatcher {
public:
    explicit Dispatcher(std::shared_ptr<gossip::GossipStore> store) : store_(std::move(store)) {}

    const std::string& answer(std::string_view line) {
        asio::co_spawn(io_, dispatch::handle_request(line, store_),
                       [this](std::exception_ptr, std::string reply) { reply_ = std::move(reply); });
        io_.run();
        io_.restart();
        return reply_;
    }

private:
    asio::io_context io_;
    std::shared_ptr<gossip::GossipStore> store_;
    std::string reply_;
};

std::shared_ptr<gossip::GossipStore> running_store() {
    auto store = std::make_shared<gossip::GossipStore>("bench");
    (void)store->start();
    return store;
}

// A request line of 100-byte payload (about 170 bytes) read into a JSON value.
void BM_ReadRequestLine(benchmark::State& state) {
    const std::string line = inject_line(12345, "k123");
    for (auto _ : state) {
        auto value = json::parse(line);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_ReadRequestLine);

// The reply line of an inject written into a reused buffer.
void BM_WriteReplyLine(benchmark::State& state) {
    const json::Value id = 12345;
    std::string out;
    for (auto _ : state) {
        out.clear();
        rpc_types::write_success_prefix(out, id);
        out += R"({"node_id":"bench","result":"Accepted"})";
        out += "}\n";
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * out.size()));
}
BENCHMARK(BM_WriteReplyLine);

// A whole health.liveness request: parse, dispatch, reply text.
void BM_HandleLiveness(benchmark::State& state) {
    Dispatcher dispatcher(running_store());
    for (auto _ : state) benchmark::DoNotOptimize(dispatcher.answer(kLivenessLine).size());
}
BENCHMARK(BM_HandleLiveness);

// A whole gossip.inject request of 100-byte payload on keys k0..k1023 (a full topic after the
// first round; most injects land in the same second, so they answer Duplicate).
void BM_HandleInject(benchmark::State& state) {
    Dispatcher dispatcher(running_store());
    std::vector<std::string> lines;
    for (int k = 0; k < 1024; ++k) lines.push_back(inject_line(static_cast<std::uint64_t>(k), "k" + std::to_string(k)));
    std::size_t next = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(dispatcher.answer(lines[next]).size());
        next = (next + 1) % lines.size();
    }
}
BENCHMARK(BM_HandleInject);

// A whole gossip.query of a full topic: 1024 entries of 1 KiB payload (about 1.2 MB of reply).
void BM_HandleQueryFullTopic(benchmark::State& state) {
    auto store = running_store();
    const json::Value payload = payload_of_size(1024);
    for (int k = 0; k < 1024; ++k) store->inject(gossip::Topic::Data, "k" + std::to_string(k), payload);
    Dispatcher dispatcher(store);
    std::size_t reply_bytes = 0;
    for (auto _ : state) {
        reply_bytes = dispatcher.answer(kQueryLine).size();
        benchmark::DoNotOptimize(reply_bytes);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * reply_bytes));
    state.counters["reply_bytes"] = static_cast<double>(reply_bytes);
}
BENCHMARK(BM_HandleQueryFullTopic)->Unit(benchmark::kMicrosecond);

}  // namespace
