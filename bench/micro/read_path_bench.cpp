// The read path below the dispatcher: JSON strings, numbers and objects read by the
// reader, and request lines taken off a socket by the line reader, short ones pipelined
// and batch-sized ones one after another on one connection.
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <asio/co_spawn.hpp>
#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "quillfern/json.hpp"
#include "quillfern/line_reader.hpp"

namespace {

using namespace quillfern;

std::string letters(std::size_t size) {
    std::string text(size, 'x');
    for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
    return text;
}

// One string literal read into a reused text, opening quote consumed as typed readers do;
// the rest of a request follows it, as in a line.
void BM_ReadString(benchmark::State& state, std::string body) {
    const std::string text = body + R"(":"data","key":"k123","payload":{}})";
    std::string out;
    for (auto _ : state) {
        json::Reader reader(text);
        out.clear();
        benchmark::DoNotOptimize(reader.read_string_into(out));
        benchmark::DoNotOptimize(out.data());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_ReadString, key_5, std::string("topic"));
BENCHMARK_CAPTURE(BM_ReadString, ascii_16, letters(16));
BENCHMARK_CAPTURE(BM_ReadString, ascii_100, letters(100));
BENCHMARK_CAPTURE(BM_ReadString, ascii_1000, letters(1000));
BENCHMARK_CAPTURE(BM_ReadString, utf8_100, std::string(50, 'a') + "\u00e9\u00e8\u4e2d\u6587\U0001F600" + letters(36));
BENCHMARK_CAPTURE(BM_ReadString, escapes_100, letters(40) + "\\n\\\"\\u00e9\\\\" + letters(44));

// Whole values parsed: an array of integers of every width, of doubles, and an object
// of many short members.
void BM_ParseValue(benchmark::State& state, std::string text) {
    for (auto _ : state) {
        auto value = json::parse(text);
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK_CAPTURE(BM_ParseValue, integers, [] {
    std::string text = "[";
    for (std::uint64_t n = 1, i = 0; i < 64; ++i, n = n * 3 + i)
        text += (i ? "," : "") + std::to_string(n % 1'000'000'000'000'000'000u);
    return text + "]";
}());
BENCHMARK_CAPTURE(BM_ParseValue, doubles,
                  std::string("[0.5,-1.25,3.14159,2.5e-8,1e16,6.02214076e23,-0.0,100.0,0.1,7.0]"));
BENCHMARK_CAPTURE(BM_ParseValue, object_of_members, [] {
    std::string text = "{";
    for (int i = 0; i < 32; ++i)
        text += (i ? "," : "") + std::string("\"member_") + std::to_string(i) + "\":" + std::to_string(i);
    return text + "}";
}());
BENCHMARK_CAPTURE(BM_ParseValue, spaced_object,
                  std::string(R"({ "a" : 1 , "b" : [ true , false , null ] , "c" : { "d" : "e" } })"));

// Lines through a LineReader over a real socket pair, written by a coroutine on the same
// thread (so that the figure is the work of one thread, not a race between two). Each line
// is read the way the line loop reads: complete lines taken, then one read.
void read_lines(benchmark::State& state, const std::string& line, std::size_t lines_per_write) {
    std::string block;
    for (std::size_t i = 0; i < lines_per_write; ++i) block += line;
    constexpr std::size_t kWrites = 64;
    std::size_t lines = 0;
    for (auto _ : state) {
        asio::io_context io;
        asio::local::stream_protocol::socket client(io), server(io);
        asio::local::connect_pair(client, server);
        protocol_negotiation::LineReader reader{transport::TransportStream(std::move(server))};
        reader.stream().non_blocking(true);
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                for (std::size_t i = 0; i < kWrites; ++i)
                    co_await asio::async_write(client, asio::buffer(block), asio::use_awaitable);
                client.shutdown(asio::socket_base::shutdown_send);
            },
            [](std::exception_ptr) {});
        asio::co_spawn(
            io,
            [&]() -> asio::awaitable<void> {
                for (;;) {
                    auto got = reader.take_buffered_line();
                    if (!got) co_return;
                    if (*got) {
                        ++lines;
                        continue;
                    }
                    auto read = co_await reader.fill_next(std::chrono::seconds(1));
                    if (!read || *read == 0) co_return;
                }
            },
            [](std::exception_ptr) {});
        io.run();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(lines));
    state.SetBytesProcessed(static_cast<std::int64_t>(lines * line.size()));
}

// 64 writes of 64 pipelined 170-byte requests.
void BM_LineReaderPipelined(benchmark::State& state) {
    read_lines(state,
               R"({"jsonrpc":"2.0","id":1,"method":"gossip.inject","params":{"topic":"data","key":"k1","payload":")" +
                   letters(100) + "\"}}\n",
               64);
}
BENCHMARK(BM_LineReaderPipelined)->Unit(benchmark::kMicrosecond);

// 64 batch-sized lines of 280 KB, one per write.
void BM_LineReaderBatches(benchmark::State& state) {
    read_lines(state, "{\"params\":\"" + letters(280'000) + "\"}\n", 1);
}
BENCHMARK(BM_LineReaderBatches)->Unit(benchmark::kMicrosecond);

}  // namespace
