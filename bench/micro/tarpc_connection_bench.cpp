// One binary RPC connection end to end on one thread: sixteen pipelined requests written
// to a socket pair in one write, the connection's task run until their sixteen replies
// are back. Everything a request costs the server is in it (system calls, the request
// stream, the service, the store) except the wake-up of a thread.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/io_context.hpp>

#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"

namespace {

using namespace quillfern;
using namespace quillfern::tarpc_service;
using Call = QuillFernServiceRequest;

constexpr int kPipelined = 16;

class Connection {
public:
    Connection() {
        (void)store_->start();
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds) != 0) std::abort();
        client_ = fds[1];
        transport::TransportStream server(io_, asio::generic::stream_protocol(AF_UNIX, SOCK_STREAM), fds[0]);
        asio::co_spawn(io_,
                       tarpc_server::serve_connection(std::move(server), tarpc_server::QuillFernTarpcServer(store_)),
                       asio::detached);
        io_.poll();
    }
    ~Connection() {
        ::close(client_);
        io_.run_for(std::chrono::seconds(1));
    }

    // Writes the requests and runs the server until `replies` whole frames came back.
    void exchange(const std::vector<std::uint8_t>& requests, int replies) {
        if (::write(client_, requests.data(), requests.size()) != static_cast<ssize_t>(requests.size())) std::abort();
        int frames = 0;
        while (frames < replies) {
            io_.run_one();
            for (;;) {
                const ssize_t n = ::read(client_, in_.data() + held_, in_.size() - held_);
                if (n <= 0) break;
                held_ += static_cast<std::size_t>(n);
            }
            std::size_t at = 0;
            while (held_ - at >= 4) {
                const std::size_t length = (std::size_t{in_[at]} << 24) | (std::size_t{in_[at + 1]} << 16) |
                                           (std::size_t{in_[at + 2]} << 8) | std::size_t{in_[at + 3]};
                if (held_ - at < 4 + length) break;
                at += 4 + length;
                ++frames;
            }
            std::copy(in_.begin() + static_cast<std::ptrdiff_t>(at), in_.begin() + static_cast<std::ptrdiff_t>(held_),
                      in_.begin());
            held_ -= at;
        }
    }

private:
    asio::io_context io_{1};
    std::shared_ptr<gossip::GossipStore> store_ = std::make_shared<gossip::GossipStore>("bench");
    int client_ = -1;
    std::vector<std::uint8_t> in_ = std::vector<std::uint8_t>(1 << 16);
    std::size_t held_ = 0;
};

std::vector<std::uint8_t> frame_of(std::uint64_t id, Call call) {
    Request request;
    request.id = id;
    request.context.deadline = MonotonicClock::now() + std::chrono::seconds(10);
    request.context.trace_context.span_id = 300;
    request.message = std::move(call);
    std::vector<std::uint8_t> out;
    (void)append_frame(out, encode_client_message(request, MonotonicClock::now()));
    return out;
}

void BM_ConnectionPipelinedLiveness(benchmark::State& state) {
    Connection connection;
    std::vector<std::uint8_t> batch;
    for (int i = 0; i < kPipelined; ++i) {
        const auto frame = frame_of(static_cast<std::uint64_t>(i), Call{Call::HealthLiveness{}});
        batch.insert(batch.end(), frame.begin(), frame.end());
    }
    for (auto _ : state) connection.exchange(batch, kPipelined);
    state.SetItemsProcessed(state.iterations() * kPipelined);
}
BENCHMARK(BM_ConnectionPipelinedLiveness);

// Keys repeat every 1,000 requests: most injects meet an entry of the same second, as
// in the load generator's runs.
void BM_ConnectionPipelinedInject(benchmark::State& state) {
    Connection connection;
    const std::string payload = "{\"v\":\"" + std::string(100, 'x') + "\"}";
    std::vector<std::vector<std::uint8_t>> batches;
    for (int b = 0; b < 1000 / kPipelined; ++b) {
        std::vector<std::uint8_t> batch;
        for (int i = 0; i < kPipelined; ++i) {
            const int n = b * kPipelined + i;
            const auto frame = frame_of(static_cast<std::uint64_t>(i),
                                        Call{Call::GossipInject{"data", "k0-" + std::to_string(n), payload}});
            batch.insert(batch.end(), frame.begin(), frame.end());
        }
        batches.push_back(std::move(batch));
    }
    std::size_t next = 0;
    for (auto _ : state) {
        connection.exchange(batches[next], kPipelined);
        next = (next + 1) % batches.size();
    }
    state.SetItemsProcessed(state.iterations() * kPipelined);
}
BENCHMARK(BM_ConnectionPipelinedInject);

}  // namespace
