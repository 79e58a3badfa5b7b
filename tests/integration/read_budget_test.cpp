// The real binary against clients that each send most of a 64 MiB line and wait without
// its newline: the grown read buffers of all of them together stay within their budget,
// the readers stalled on the largest lines are closed with a warning, and a good peer's
// big request and ordinary clients are served meanwhile.
#include <sys/socket.h>
#include <sys/un.h>

#include <atomic>
#include <cstring>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process_status.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;
// What all the grown read buffers of the server may hold at once.
constexpr std::size_t kBudget = 256 * kMiB;

const std::string kBudgetWarning =
    " WARN quillfern_server::server: Read error: read buffer budget spent: the longest unfinished line is dropped\n";
const std::string kLiveness = R"({"id":3,"method":"health.liveness"})"
                              "\n";
const std::string kAlive = R"({"id":3,"jsonrpc":"2.0","result":{"alive":true}})";

// A negotiated connection whose descriptor the test keeps, to shut it from another thread.
struct Connection {
    int fd = -1;
    Client client;

    static Connection negotiated(const std::string& path) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
        }
        Connection c{fd, Client::adopt(fd)};
        c.client.send("PROTOCOLS: jsonrpc\n");
        if (c.client.read_line() != "PROTOCOL: jsonrpc") throw std::runtime_error("no negotiation answer");
        return c;
    }
};

std::size_t count_of(const std::string& text, const std::string& needle) {
    std::size_t count = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++count;
    return count;
}

template <class Predicate>
bool wait_until(Predicate done, std::chrono::seconds limit = std::chrono::seconds(60)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

TEST(ReadBudgetTest, UnfinishedLinesOfManyClientsHoldNoMoreThanTheBudget) {
    if (!kMemoryFiguresHold) GTEST_SKIP() << "memory figures of a sanitized build";
    TempDir dir;
    ServerProcess server(ServerProcess::Options{{},
                                                {{"VELLUMAR_RUNTIME_DIR", dir.path()},
                                                 {"NO_COLOR", "1"},
                                                 {"GATE_ID", "gate-test"},
                                                 {"TOKIO_WORKER_THREADS", "2"},
                                                 {"QUILLFERN_THORNKIT_SOCK", dir.file("absent.sock")}}});
    ASSERT_TRUE(server.wait_for_output("Listening on ")) << server.out();
    const std::string socket = dir.file("quillfern.sock");
    const std::size_t before = status_bytes(server.pid(), "VmRSS");
    ASSERT_GT(before, 0u);

    // Eight clients send 60 MiB of a line each (under the 64 MiB limit) and wait: each
    // would hold a 64 MiB buffer, twice the budget in all.
    constexpr std::size_t kHolders = 8;
    const std::string unfinished =
        R"({"id":1,"method":"gossip.inject","params":{"pad":")" + std::string(60 * kMiB, 'u');
    std::vector<Connection> holders;
    for (std::size_t i = 0; i < kHolders; ++i) holders.push_back(Connection::negotiated(socket));
    std::vector<std::thread> senders;
    for (Connection& c : holders) {
        senders.emplace_back([&c, &unfinished] {
            try {
                c.client.send(unfinished);
            } catch (const std::exception&) {
                // Closed by the server, or shut by the test at its end.
            }
        });
    }

    // At most four 64 MiB buffers fit: the readers of the other lines are closed, one at a time.
    ASSERT_TRUE(wait_until([&] { return count_of(server.out(), kBudgetWarning) >= kHolders - 4; })) << server.out();
    Connection probe = Connection::negotiated(socket);
    const auto asked = std::chrono::steady_clock::now();
    probe.client.send(kLiveness);
    EXPECT_EQ(probe.client.read_line(std::chrono::seconds(1)), kAlive);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));

    // A good peer's big request waits for room: more than the survivors' buffers gave back
    // when they shrank to their lines, so the longest stalled line gives up its own.
    const std::size_t closed_before = count_of(server.out(), kBudgetWarning);
    Connection peer = Connection::negotiated(socket);
    peer.client.send(R"({"id":2,"method":"gossip.inject","params":{"topic":"data","key":"big","payload":")" +
                     std::string(20 * kMiB, 'g') +
                     R"("}})"
                     "\n");
    EXPECT_EQ(peer.client.read_line(std::chrono::seconds(60)),
              R"({"id":2,"jsonrpc":"2.0","result":{"node_id":"gate-test","result":"Accepted"}})");
    EXPECT_GT(count_of(server.out(), kBudgetWarning), closed_before);

    const std::size_t peak = status_bytes(server.pid(), "VmHWM");
    EXPECT_LT(peak, before + kBudget + 64 * kMiB) << "VmHWM " << peak << " from " << before;

    for (Connection& c : holders) ::shutdown(c.fd, SHUT_RDWR);
    for (std::thread& sender : senders) sender.join();
    EXPECT_EQ(server.wait_exit(std::chrono::milliseconds(0)), std::nullopt) << server.err();
}

}  // namespace
}  // namespace quillfern::testing
