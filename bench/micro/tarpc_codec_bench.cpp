// The binary RPC codec on its hot path: frames split out of a read of pipelined requests,
// a request decoded, a request served and its reply framed.
#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"

namespace {

using namespace quillfern;
using namespace quillfern::tarpc_service;
using Call = QuillFernServiceRequest;

Request request_of(std::uint64_t id, Call call) {
    Request request;
    request.id = id;
    request.context.deadline = MonotonicClock::now() + std::chrono::seconds(10);
    request.context.trace_context.span_id = 300;
    request.message = std::move(call);
    return request;
}

std::vector<std::uint8_t> inject_payload() {
    return encode_client_message(request_of(5, Call{Call::GossipInject{"data", "bench.key", std::string(100, 'x')}}),
                                 MonotonicClock::now());
}

void BM_DecodeInjectRequest(benchmark::State& state) {
    const std::vector<std::uint8_t> payload = inject_payload();
    for (auto _ : state) {
        auto message = decode_client_message(payload);
        benchmark::DoNotOptimize(message);
    }
}
BENCHMARK(BM_DecodeInjectRequest);

// Sixteen liveness requests arriving in one read, split into frames and decoded.
void BM_FrameAndDecodePipelinedLiveness(benchmark::State& state) {
    std::vector<std::uint8_t> stream;
    for (std::uint64_t id = 0; id < 16; ++id) {
        const auto payload = encode_client_message(request_of(id, Call{Call::HealthLiveness{}}), MonotonicClock::now());
        (void)append_frame(stream, payload);
    }
    FrameReader reader;
    for (auto _ : state) {
        reader.append(stream);
        for (;;) {
            auto next = reader.next();
            if (!next || !*next) break;
            auto message = decode_client_message(**next);
            benchmark::DoNotOptimize(message);
        }
    }
    state.SetItemsProcessed(state.iterations() * 16);
}
BENCHMARK(BM_FrameAndDecodePipelinedLiveness);

void BM_ServeLivenessAndFrameReply(benchmark::State& state) {
    auto store = std::make_shared<gossip::GossipStore>("bench");
    (void)store->start();
    const tarpc_server::QuillFernTarpcServer server(store);
    std::vector<std::uint8_t> out;
    out.reserve(8192);
    for (auto _ : state) {
        out.clear();
        const Response response{7, server.serve(Context{}, Call{Call::HealthLiveness{}})};
        (void)append_response_frame(out, response);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ServeLivenessAndFrameReply);

void BM_ServeInjectAndFrameReply(benchmark::State& state) {
    auto store = std::make_shared<gossip::GossipStore>("bench");
    (void)store->start();
    const tarpc_server::QuillFernTarpcServer server(store);
    std::vector<std::uint8_t> out;
    out.reserve(8192);
    std::uint64_t n = 0;
    const std::string payload = "\"" + std::string(98, 'x') + "\"";
    for (auto _ : state) {
        out.clear();
        Call call{Call::GossipInject{"data", "bench." + std::to_string(n++ % 1000), payload}};
        const Response response{7, server.serve(Context{}, std::move(call))};
        (void)append_response_frame(out, response);
        benchmark::DoNotOptimize(out.data());
    }
}
BENCHMARK(BM_ServeInjectAndFrameReply);

}  // namespace
