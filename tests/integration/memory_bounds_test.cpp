// The real binary against clients that try to exhaust its memory or its workers: replies
// that nobody reads, requests that build far more than their text, a big line beside a
// liveness probe. Memory figures come from /proc/<pid>/status, with generous margins.
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process_status.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

constexpr std::size_t kMiB = 1024 * 1024;

// A connected Unix socket that the test keeps its descriptor of, to look at it from outside.
struct Connection {
    int fd = -1;
    Client client;

    static Connection open(const std::string& path) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
        }
        return Connection{fd, Client::adopt(fd)};
    }
    // Opens and negotiates JSON-RPC.
    static Connection negotiated(const std::string& path) {
        Connection c = open(path);
        c.client.send("PROTOCOLS: jsonrpc\n");
        if (c.client.read_line() != "PROTOCOL: jsonrpc") throw std::runtime_error("no negotiation answer");
        return c;
    }
    // Bytes the server has written that this side has not read yet.
    int unread() const {
        int count = 0;
        ::ioctl(fd, FIONREAD, &count);
        return count;
    }
    // One long reply line, read in big blocks straight from the socket (nothing else may be
    // buffered by `client`); none when the stream ends or stalls first.
    std::optional<std::string> read_long_line() const {
        std::string line;
        std::vector<char> block(1 << 20);
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 30'000) <= 0) return std::nullopt;
            const ssize_t n = ::recv(fd, block.data(), block.size(), 0);
            if (n <= 0) return std::nullopt;
            const std::size_t from = line.size();
            line.append(block.data(), static_cast<std::size_t>(n));
            if (const auto nl = line.find('\n', from); nl != std::string::npos) {
                line.resize(nl);
                return line;
            }
        }
    }
    // True when something (a reply or the end of the stream) is waiting to be read.
    bool has_news() const {
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        return ::poll(&p, 1, 0) > 0;
    }
};

std::string inject_line(int id, std::string_view key, std::string_view payload) {
    return R"({"id":)" + std::to_string(id) + R"(,"method":"gossip.inject","params":{"key":")" + std::string(key) +
           R"(","payload":)" + std::string(payload) +
           R"(,"topic":"data"}})"
           "\n";
}

std::string accepted_reply(int id) {
    return R"({"id":)" + std::to_string(id) +
           R"(,"jsonrpc":"2.0","result":{"node_id":"gate-test","result":"Accepted"}})";
}

// An inject whose payload [{},{},…] fills `bytes`: each three bytes of text build an
// object of their own.
// A request whose params [{},{},...] build some thirty times their text as a value.
// (An inject's payload would not do: it is kept as text, never built.)
std::string amplifying_request(std::size_t bytes) {
    std::string line = R"({"id":1,"method":"gossip.query","params":{"topic":"data","pad":[{})";
    line.reserve(bytes + 8);
    while (line.size() + 8 < bytes) line += ",{}";
    line += "]}}\n";
    return line;
}

const std::string kQuery = R"({"id":7,"method":"gossip.query","params":{"topic":"data"}})"
                           "\n";
const std::string kLiveness = R"({"id":3,"method":"health.liveness"})"
                              "\n";
const std::string kAlive = R"({"id":3,"jsonrpc":"2.0","result":{"alive":true}})";

template <class Predicate>
bool wait_until(Predicate done, std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

class MemoryBoundsTest : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> start(std::string workers = "2") {
        auto server = std::make_unique<ServerProcess>(
            ServerProcess::Options{{},
                                   {{"VELLUMAR_RUNTIME_DIR", dir.path()},
                                    {"NO_COLOR", "1"},
                                    {"GATE_ID", "gate-test"},
                                    {"TOKIO_WORKER_THREADS", std::move(workers)},
                                    {"QUILLFERN_THORNKIT_SOCK", dir.file("absent.sock")}}});
        EXPECT_TRUE(server->wait_for_output("Listening on ")) << server->out() << server->err();
        return server;
    }
    std::string socket() const { return dir.file("quillfern.sock"); }

    // The server answers a liveness probe and an inject, and finds the entry again. Each
    // check injects a key of its own: the same key again within a second is a duplicate.
    void expect_serving(ServerProcess& server) {
        const std::string key = "after" + std::to_string(++serving_checks);
        Connection c = Connection::negotiated(socket());
        c.client.send(kLiveness);
        EXPECT_EQ(c.client.read_line(std::chrono::seconds(30)), kAlive) << server.out();
        c.client.send(inject_line(4, key, R"({"still":"here"})"));
        EXPECT_EQ(c.client.read_line(), accepted_reply(4));
        c.client.send(R"({"id":5,"method":"gossip.query","params":{"topic":"data","key_prefix":")" + key +
                      R"("}})"
                      "\n");
        const std::optional<std::string> found = c.client.read_line();
        ASSERT_TRUE(found.has_value());
        EXPECT_THAT(*found, ::testing::StartsWith(R"({"id":5,"jsonrpc":"2.0","result":{"count":1,"entries":[)"));
        EXPECT_THAT(*found, ::testing::HasSubstr(R"("payload":{"still":"here"})"));
    }

    TempDir dir;
    int serving_checks = 0;
};

TEST_F(MemoryBoundsTest, NonReadingClientsOfFullTopicQueriesHoldLittleMemory) {
    auto server = start();
    // 32 entries of 1,000,000 bytes: one full-topic reply is about 32 MB.
    constexpr int kEntries = 32;
    {
        Connection feeder = Connection::negotiated(socket());
        for (int i = 0; i < kEntries; ++i) {
            const std::string payload = "\"" + std::string(1'000'000, static_cast<char>('a' + i % 26)) + "\"";
            feeder.client.send(inject_line(i, "k" + std::to_string(i), payload));
            ASSERT_EQ(feeder.client.read_line(), accepted_reply(i));
        }
    }
    const std::size_t before = status_bytes(server->pid(), "VmRSS");
    ASSERT_GT(before, 0u);

    // Six clients ask for the whole topic and read nothing.
    std::vector<Connection> idle;
    for (int i = 0; i < 6; ++i) {
        idle.push_back(Connection::negotiated(socket()));
        idle.back().client.send(kQuery);
    }
    // Each has been sent the start of its reply: the server is at work on all six.
    ASSERT_TRUE(wait_until(
        [&] { return std::all_of(idle.begin(), idle.end(), [](const Connection& c) { return c.unread() > 0; }); }));
    const std::size_t during = status_bytes(server->pid(), "VmRSS");
    // Whole replies would hold 6 × 32 MB; chunks hold a socket buffer each.
    if (kMemoryFiguresHold) {
        EXPECT_LT(during, before + 64 * kMiB) << "VmRSS grew from " << before << " to " << during;
    }

    // Another connection is served meanwhile, and the replies, read at last, are whole.
    expect_serving(*server);
    std::optional<std::string> first;
    for (Connection& c : idle) {
        std::optional<std::string> reply = c.read_long_line();
        ASSERT_TRUE(reply.has_value());
        EXPECT_THAT(*reply, ::testing::StartsWith(R"({"id":7,"jsonrpc":"2.0","result":{"count":32,"entries":[)"));
        EXPECT_GT(reply->size(), kEntries * 1'000'000u);
        if (!first)
            first = std::move(reply);
        else
            EXPECT_TRUE(*reply == *first);
    }
}

TEST_F(MemoryBoundsTest, AmplifyingRequestsUnderAnAddressSpaceLimitEndOnlyTheirConnections) {
    if (!kMemoryFiguresHold) GTEST_SKIP() << "memory figures of a sanitized build";
    auto server = start();
    // The limit only holds for what is mapped from now on.
    const rlimit limit{2048 * kMiB, 2048 * kMiB};
    ASSERT_EQ(::prlimit(server->pid(), RLIMIT_AS, &limit, nullptr), 0) << std::strerror(errno);

    const std::string line = amplifying_request(60 * kMiB);
    std::vector<std::string> received(3);
    std::vector<std::thread> senders;
    for (std::size_t i = 0; i < received.size(); ++i) {
        senders.emplace_back([&, i] {
            Connection c = Connection::negotiated(socket());
            try {
                c.client.send(line);
            } catch (const std::exception&) {
                // The server may close while the line is still being sent.
            }
            received[i] = c.client.read_to_end(std::chrono::seconds(60));
        });
    }
    for (auto& sender : senders) sender.join();

    // No reply at all, no "Parse error": each connection was closed with a warning.
    for (const std::string& got : received) EXPECT_EQ(got, "");
    ASSERT_TRUE(wait_until([&] {
        const std::string out = server->out();
        std::size_t warnings = 0;
        for (const char* text :
             {"Request needs too much memory — closing connection", "Connection aborted: out of memory"}) {
            for (std::size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++warnings;
        }
        return warnings == 3;
    })) << server->out();
    expect_serving(*server);
    EXPECT_EQ(server->wait_exit(std::chrono::milliseconds(0)), std::nullopt) << server->err();
    EXPECT_EQ(server->err(), "");
}

TEST_F(MemoryBoundsTest, ALivenessProbeIsAnsweredWhileABigLineIsRead) {
    // One worker: without a pool of its own the big line would hold up the probe.
    auto server = start("1");
    Connection big = Connection::negotiated(socket());
    big.client.send(amplifying_request(60 * kMiB));

    Connection probe = Connection::negotiated(socket());
    probe.client.send(kLiveness);
    EXPECT_EQ(probe.client.read_line(std::chrono::seconds(30)), kAlive);
    // The big line's connection has heard nothing yet: the probe came first.
    EXPECT_FALSE(big.has_news());

    EXPECT_EQ(big.client.read_to_end(std::chrono::seconds(60)), "");
    EXPECT_TRUE(
        server->wait_for_output(" WARN quillfern_server::server: Request needs too much memory — closing connection\n"))
        << server->out();
}

TEST_F(MemoryBoundsTest, MemoryOfABigLineIsGivenBack) {
    if (!kMemoryFiguresHold) GTEST_SKIP() << "memory figures of a sanitized build";
    auto server = start();
    expect_serving(*server);
    const std::size_t before = status_bytes(server->pid(), "VmRSS");
    {
        Connection big = Connection::negotiated(socket());
        big.client.send(amplifying_request(60 * kMiB));
        EXPECT_EQ(big.client.read_to_end(std::chrono::seconds(60)), "");
    }
    // Hundreds of MiB were built and let go; within a few seconds RSS is back near the start.
    EXPECT_GT(status_bytes(server->pid(), "VmHWM"), before + 128 * kMiB);
    EXPECT_TRUE(
        wait_until([&] { return status_bytes(server->pid(), "VmRSS") < before + 48 * kMiB; }, std::chrono::seconds(10)))
        << "VmRSS " << status_bytes(server->pid(), "VmRSS") << " from " << before;
    expect_serving(*server);
}

}  // namespace
}  // namespace quillfern::testing
