// Whatever ends a connection unforeseen is reported once, by the connection's exit, with
// the text its kind calls for, and the connection closes without a reply.
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "connection_fixture.hpp"
#include "env_guard.hpp"
#include "quillfern/json.hpp"

namespace quillfern::server {
namespace {

using namespace testing;

template <class Failure>
asio::awaitable<void> fail_with(Failure failure) {
    throw failure;
    co_return;
}

TEST(ConnectionExitTest, EachKindOfFailureIsReportedOnceWithItsText) {
    const struct {
        const char* what;
        asio::awaitable<void> (*task)();
        std::string event;
    } cases[] = {
        {"a request over its memory budget", [] { return fail_with(json::TooLarge()); },
         kServerWarn + "Request needs too much memory — closing connection"},
        {"memory running out", [] { return fail_with(std::bad_alloc()); },
         kServerWarn + "Connection aborted: out of memory"},
        {"a standard exception", [] { return fail_with(std::runtime_error("stream state lost")); },
         kServerWarn + "Connection aborted: stream state lost"},
        {"anything else", [] { return fail_with(42); }, kServerWarn + "Connection aborted: unknown error"},
    };
    for (const auto& c : cases) {
        SocketPair pair;
        log::testing::Capture capture;
        pair.run(detail::until_exit(c.task()));
        EXPECT_EQ(capture.events(), std::vector<std::string>{c.event}) << c.what;
    }
}

asio::awaitable<void> failing_tarpc(transport::TransportStream stream) {
    co_await asio::async_write(stream, asio::buffer(std::string_view("handed off\n")), asio::use_awaitable);
    throw std::runtime_error("hand-off failed");
}

TEST(ConnectionExitTest, AFailedHandOffIsReportedOnce) {
    ::quillfern::testing::EnvGuard timeout{"NEGOTIATE_TIMEOUT_MS", "60000"};
    const Served served = serve_with(
        [](transport::TransportStream stream, std::shared_ptr<gossip::GossipStore> store) {
            return serve_negotiated(std::move(stream), std::move(store), failing_tarpc);
        },
        "PROTOCOLS: tarpc\n");
    EXPECT_EQ(served.received, "PROTOCOL: tarpc\nhanded off\n");
    EXPECT_EQ(served.events,
              (std::vector<std::string>{" INFO quillfern_core::protocol_negotiation: server negotiated: tarpc",
                                        kServerInfo + "G65: tarpc selected — handing off to tarpc handler",
                                        kServerWarn + "Connection aborted: hand-off failed"}));
}

// Params of empty objects take some thirty times their text once built: this line's
// would need more than a line may have.
std::string line_over_its_memory_budget() {
    std::string line = R"({"id":1,"method":"gossip.status","params":[{})";
    const std::size_t bytes = json::kMaxBuildBytes / 20;
    line.reserve(bytes + 8);
    while (line.size() < bytes) line += ",{}";
    line += "]}\n";
    return line;
}

TEST(ConnectionExitTest, ALineLoopFailureIsReportedOnce) {
    const std::string line = line_over_its_memory_budget();
    SocketPair pair;
    std::string received;
    std::thread reader([&] { received = pair.receive_all(); });
    std::thread sender([&] {
        try {
            pair.send(std::string(kJsonrpcSignal) + line);  // far more than the socket holds
            pair.send(liveness(2) + "\n");
            pair.end_input();
        } catch (const std::exception&) {
            // The connection may end while the line is still being sent.
        }
    });
    log::testing::Capture capture;
    pair.run(handle_connection(std::move(pair.server), make_store()));
    sender.join();
    reader.join();
    EXPECT_EQ(capture.events(),
              std::vector<std::string>{kServerWarn + "Request needs too much memory — closing connection"});
    EXPECT_EQ(received, "");
}

}  // namespace
}  // namespace quillfern::server
