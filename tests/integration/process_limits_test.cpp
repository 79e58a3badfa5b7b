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
        c.send(R"({"jsonrpc":"2.0","id":1,"method":"health.liveness"})" "\n");
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
                                           SecondInstanceCase{"BinarySocket", {"--legacy-dual-socket"},
                                                              "quillfern.tarpc.sock", true}),
                         [](const auto& info) { return info.param.name; });

TEST_F(ProcessLimits, ASocketLeftByAKilledInstanceIsTakenOver) {
    auto first = start_listening(options());
    first->send_signal(SIGKILL);
    first->wait_exit();
    ASSERT_TRUE(std::filesystem::exists(dir.file("quillfern.sock")));

    auto second = start_listening(options());
    expect_alive(dir.file("quillfern.sock"));
}

TEST_F(ProcessLimits, WorkerThreadsBeyondWhatTheSystemGivesAreAFatalError) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer cannot run under an address-space limit";
#else
    // Under a 2 GiB address space the system refuses a thread after a few hundred stacks.
    auto o = options({"--help"}, {{"TOKIO_WORKER_THREADS", "100000"}});
    o.limits = {{RLIMIT_AS, rlim_t{2} << 30}};
    ServerProcess server(std::move(o));
    EXPECT_EQ(server.wait_exit(std::chrono::seconds(30)), 101);
    EXPECT_EQ(server.err(),
              "thread 'main' panicked:\nOS can't spawn worker thread: Resource temporarily unavailable (os error 11)\n");
    EXPECT_EQ(server.out(), "");
#endif
}

}  // namespace
}  // namespace quillfern::testing
