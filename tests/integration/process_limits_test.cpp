// The real binary against the limits of its host: a second instance on the same runtime
// directory, more worker threads than the system gives, too few descriptors.
#include <sys/resource.h>

#include <csignal>
#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "test_process.hpp"

namespace quillfern::testing {
namespace {

using ::testing::HasSubstr;

class ProcessLimits : public ::testing::Test {
protected:
    ServerProcess::Options options(std::vector<std::string> args = {},
                                   std::map<std::string, std::string> extra = {}) const {
        std::map<std::string, std::string> env = {{"VELLUMAR_RUNTIME_DIR", dir.path()},
                                                  {"NO_COLOR", "1"},
                                                  {"GATE_ID", "gate-test"},
                                                  {"TOKIO_WORKER_THREADS", "2"}};
        for (auto& [k, v] : extra) env[k] = v;
        return ServerProcess::Options{std::move(args), std::move(env)};
    }
    std::unique_ptr<ServerProcess> start_listening(ServerProcess::Options o) {
        auto p = std::make_unique<ServerProcess>(std::move(o));
        EXPECT_TRUE(p->wait_for_output("Listening on ")) << p->out() << p->err();
        return p;
    }

    // A liveness probe on the main socket, opened as the mode asks: a negotiated protocol,
    // or in legacy dual-socket mode the first-byte signal.
    static void expect_alive(const std::string& socket, bool legacy = false) {
        Client c = Client::unix_socket(socket);
        if (legacy) {
            c.send("\xEC\x01");
        } else {
            c.send("PROTOCOLS: jsonrpc\n");
            EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
        }
        c.send(R"({"jsonrpc":"2.0","id":1,"method":"health.liveness"})"
               "\n");
        EXPECT_EQ(c.read_line(), R"({"id":1,"jsonrpc":"2.0","result":{"alive":true}})");
    }

    TempDir dir;
};

struct SecondInstanceCase {
    std::string name;
    std::vector<std::string> args;
    std::string contested;  // the socket file the second instance finds taken
    bool legacy;
};

void PrintTo(const SecondInstanceCase& c, std::ostream* os) { *os << c.name; }

class SecondInstance : public ProcessLimits, public ::testing::WithParamInterface<SecondInstanceCase> {};

TEST_P(SecondInstance, FailsWithStatusOneAndLeavesTheFirstServing) {
    auto first = start_listening(options(GetParam().args));
    const std::string contested = dir.file(GetParam().contested);
    ASSERT_TRUE(std::filesystem::exists(contested));

    ServerProcess second(options(GetParam().args));
    EXPECT_EQ(second.wait_exit(), 1);
    EXPECT_EQ(second.err(), "Error: Address already in use (os error 98)\n");
    EXPECT_THAT(second.out(), ::testing::Not(HasSubstr("Listening on ")));

    // Both of the first instance's sockets still lead to it.
    expect_alive(dir.file("quillfern.sock"), GetParam().legacy);
    Client still_there = Client::unix_socket(contested);
    first->send_signal(SIGTERM);
    EXPECT_EQ(first->wait_exit(), 0);
    EXPECT_EQ(first->err(), "");
}

INSTANTIATE_TEST_SUITE_P(Sockets, SecondInstance,
                         ::testing::Values(SecondInstanceCase{"MainSocket", {}, "quillfern.sock", false},
                                           SecondInstanceCase{
                                               "BinarySocket", {"--legacy-dual-socket"}, "quillfern.tarpc.sock", true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ProcessLimits, ASocketLeftByAKilledInstanceIsTakenOver) {
    auto first = start_listening(options());
    first->send_signal(SIGKILL);
    first->wait_exit();
    ASSERT_TRUE(std::filesystem::exists(dir.file("quillfern.sock")));

    auto second = start_listening(options());
    expect_alive(dir.file("quillfern.sock"));
}

TEST_F(ProcessLimits, SurvivesMoreConnectionsThanDescriptorsAndServesOnceTheyClose) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own memory probe (behind the dynamic type checks) needs a pipe; at
    // the descriptor limit it fails and every such check reports a false fault.
    GTEST_SKIP() << "the sanitizer runtime needs descriptors of its own";
#endif
    auto o = options({}, {{"NEGOTIATE_TIMEOUT_MS", "60000"}});
    o.limits = {{RLIMIT_NOFILE, 64}};
    auto server = start_listening(std::move(o));

    // Each client is either served or, once the server is out of descriptors, accepted and
    // closed at once; none is left waiting in the backlog.
    constexpr int kClients = 120;
    const auto limit = std::chrono::seconds(20);
    std::vector<Client> clients;
    for (int i = 0; i < kClients; ++i) clients.push_back(Client::unix_socket(dir.file("quillfern.sock")));
    int served = 0, closed = 0;
    for (Client& c : clients) {
        const auto asked = std::chrono::steady_clock::now();
        std::optional<std::string> answer;
        try {
            c.send("PROTOCOLS: jsonrpc\n");
            answer = c.read_line(limit);
        } catch (const std::runtime_error&) {
            // Closed before the line went out.
        }
        if (answer == "PROTOCOL: jsonrpc") {
            ++served;
        } else {
            ASSERT_EQ(answer, std::nullopt);
            ASSERT_LT(std::chrono::steady_clock::now() - asked, limit) << "a client was left hanging";
            ++closed;
        }
    }
    EXPECT_GT(served, 0);
    EXPECT_GT(closed, 0);
    EXPECT_EQ(served + closed, kClients);

    clients.clear();
    // The descriptors come back as the server sees each connection end.
    const auto deadline = std::chrono::steady_clock::now() + limit;
    bool alive = false;
    while (!alive && std::chrono::steady_clock::now() < deadline) {
        try {
            Client c = Client::unix_socket(dir.file("quillfern.sock"));
            c.send("PROTOCOLS: jsonrpc\n");
            alive = c.read_line() == "PROTOCOL: jsonrpc";
        } catch (const std::runtime_error&) {
            // Still out of descriptors: closed at once.
        }
    }
    ASSERT_TRUE(alive) << server->out();
    expect_alive(dir.file("quillfern.sock"));

    // One WARN for the whole episode, however often the accept was retried.
    const std::string warn =
        " WARN quillfern_server::server: Accept error: Too many open files (os error 24) — retrying\n";
    const std::string out = server->out();
    const auto first = out.find(warn);
    ASSERT_NE(first, std::string::npos) << out;
    EXPECT_EQ(out.find(warn, first + 1), std::string::npos) << out;
    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
}

TEST_F(ProcessLimits, WorkerThreadsBeyondWhatTheSystemGivesAreAFatalError) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers cannot run under an address-space limit";
#else
    // Under a 2 GiB address space the system refuses a thread after a few hundred stacks.
    auto o = options({"--help"}, {{"TOKIO_WORKER_THREADS", "100000"}});
    o.limits = {{RLIMIT_AS, rlim_t{2} << 30}};
    ServerProcess server(std::move(o));
    EXPECT_EQ(server.wait_exit(std::chrono::seconds(30)), 101);
    EXPECT_EQ(
        server.err(),
        "thread 'main' panicked:\nOS can't spawn worker thread: Resource temporarily unavailable (os error 11)\n");
    EXPECT_EQ(server.out(), "");
#endif
}

}  // namespace
}  // namespace quillfern::testing
