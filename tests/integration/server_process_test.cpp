// The real quillfern binary, started as a user would: its sockets, log lines, signals
// and exit statuses.
#include <netinet/in.h>
#include <sys/stat.h>

#include <csignal>
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "free_tcp_port.hpp"
#include "loopback_listener.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ServerTest : public ::testing::Test {
protected:
    std::map<std::string, std::string> base_env() const {
        return {{"VELLUMAR_RUNTIME_DIR", dir.path()},
                {"NO_COLOR", "1"},
                {"GATE_ID", "gate-test"},
                {"TOKIO_WORKER_THREADS", "2"},
                {"GOSSIP_PORT", std::to_string(gossip_port)}};
    }
    std::unique_ptr<ServerProcess> start(std::vector<std::string> args = {},
                                         std::map<std::string, std::string> extra = {}) {
        auto env = base_env();
        for (auto& [k, v] : extra) {
            if (v == "<unset>")
                env.erase(k);
            else
                env[k] = v;
        }
        return std::make_unique<ServerProcess>(ServerProcess::Options{std::move(args), std::move(env)});
    }
    // Starts the server and waits until it listens.
    std::unique_ptr<ServerProcess> start_listening(std::vector<std::string> args = {},
                                                   std::map<std::string, std::string> extra = {}) {
        auto p = start(std::move(args), std::move(extra));
        EXPECT_TRUE(p->wait_for_output("Listening on ")) << p->out() << p->err();
        return p;
    }
    std::string main_socket(std::string_view name = "quillfern.sock") const { return dir.file(name); }

    static std::string liveness(Client& c, int id = 1) {
        c.send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
               R"(,"method":"health.liveness"})"
               "\n");
        return c.read_line().value_or("<no reply>");
    }
    static std::string liveness_reply(int id = 1) {
        return R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"alive":true}})";
    }

    TempDir dir;
    // Each server's cross-gate listener gets a port of its own.
    std::uint16_t gossip_port = free_tcp_port();
};

TEST_F(ServerTest, ServesTheDefaultSocketAndStopsOnSigterm) {
    auto server = start_listening({}, {{"GATE_ID", "<unset>"}, {"HOSTNAME", "host-a"}});
    // The registration task's last line (no sibling runs beside this server), and the
    // cross-gate listener's: both tasks log beside the main listener.
    ASSERT_TRUE(server->wait_for_output("Reedhorn socket not found — skipping ipc.register\n"));
    ASSERT_TRUE(
        server->wait_for_output("Cross-gate gossip listener started port=" + std::to_string(gossip_port) + "\n"));
    auto events = server->events();
    ASSERT_GE(events.size(), 3u);
    EXPECT_EQ(events[0],
              " WARN quillfern_server: GATE_ID not set — using hostname as node identity. Set GATE_ID env or "
              "--gate-id for stable mesh identity. node_id=host-a");
    EXPECT_EQ(events[1], " INFO quillfern_server: quillFern started — fern spreads, kit validates node_id=host-a");
    EXPECT_EQ(events[2], " INFO quillfern_server::announce: Injected endpoint.alive gossip entry gate=host-a");
    EXPECT_THAT(events, Contains(" INFO quillfern_server::server: Listening on unix://" + main_socket() +
                                 " [G65 protocol negotiation]"));
    EXPECT_THAT(events, Contains(" INFO quillfern_server: Cross-gate gossip listener started port=" +
                                 std::to_string(gossip_port)));
    EXPECT_THAT(
        events,
        Contains(" INFO quillfern_server::announce: Vellumar quorvel-api socket not found — skipping announce"));

    Client c = Client::unix_socket(main_socket());
    c.send("PROTOCOLS: jsonrpc\n");
    EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
    EXPECT_EQ(liveness(c), liveness_reply());
    c.send(R"({"id":2,"method":"health.check"})"
           "\n");
    EXPECT_EQ(
        c.read_line(),
        R"({"id":2,"jsonrpc":"2.0","result":{"liveness":true,"node_id":"host-a","readiness":true,"status":"Healthy"}})");

    server->send_signal(SIGTERM);
    EXPECT_EQ(server->wait_exit(), 0);
    auto after = server->events();
    ASSERT_GE(after.size(), 2u);
    EXPECT_EQ(after[after.size() - 2],
              " INFO quillfern_core::platform_signal: shutdown signal received signal=SIGTERM");
    EXPECT_EQ(after.back(), " INFO quillfern_server::server: graceful shutdown initiated");
    EXPECT_EQ(server->err(), "");
    struct stat st {};
    EXPECT_EQ(::stat(main_socket().c_str(), &st), 0) << "the socket file stays on disk";
}

TEST_F(ServerTest, SignalsStopTheServerWhileConnectionsAreOpen) {
    for (int sig : {SIGTERM, SIGINT}) {
        auto server = start_listening();
        Client idle = Client::unix_socket(main_socket());
        Client busy = Client::unix_socket(main_socket());
        busy.send("PROTOCOLS: jsonrpc\n");
        ASSERT_EQ(busy.read_line(), "PROTOCOL: jsonrpc");
        server->send_signal(sig);
        EXPECT_EQ(server->wait_exit(), 0) << strsignal(sig);
        // The busy connection's own log line may come before or after these two.
        const std::string out = server->out();
        const std::string received =
            std::string(" INFO quillfern_core::platform_signal: shutdown signal received signal=") +
            (sig == SIGTERM ? "SIGTERM" : "SIGINT") + "\n";
        const auto signal_at = out.find(received);
        const auto shutdown_at = out.find(" INFO quillfern_server::server: graceful shutdown initiated\n");
        ASSERT_NE(signal_at, std::string::npos) << out;
        ASSERT_NE(shutdown_at, std::string::npos) << out;
        EXPECT_LT(signal_at, shutdown_at);
    }
}

TEST_F(ServerTest, AnIdleClientDoesNotBlockAnother) {
    auto server = start_listening({}, {{"NEGOTIATE_TIMEOUT_MS", "60000"}});
    Client idle = Client::unix_socket(main_socket());  // never sends anything
    Client second = Client::unix_socket(main_socket());
    second.send("PROTOCOLS: json-rpc\n");
    EXPECT_EQ(second.read_line(), "PROTOCOL: jsonrpc");
    EXPECT_EQ(liveness(second, 9), liveness_reply(9));
    idle.send("PROTOCOLS: jsonrpc\n");
    EXPECT_EQ(idle.read_line(), "PROTOCOL: jsonrpc");
}

TEST_F(ServerTest, SocketNameFollowsTheFamilyId) {
    struct Case {
        std::vector<std::string> args;
        std::string file;
    };
    const Case cases[] = {
        {{"--family-id", "prod"}, "quillfern-prod.sock"},
        {{"--family-id", "default"}, "quillfern.sock"},
        {{"--family-id="}, "quillfern.sock"},
        {{"--family-id", "Default"}, "quillfern-Default.sock"},
    };
    for (const auto& c : cases) {
        auto server = start_listening(c.args);
        EXPECT_THAT(server->out(), HasSubstr("Listening on unix://" + main_socket(c.file) + " ["));
        Client client = Client::unix_socket(main_socket(c.file));
        client.send("PROTOCOLS: jsonrpc\n");
        EXPECT_EQ(client.read_line(), "PROTOCOL: jsonrpc") << c.file;
        server->send_signal(SIGTERM);
        EXPECT_EQ(server->wait_exit(), 0);
        std::filesystem::remove(main_socket(c.file));
    }
}

TEST_F(ServerTest, RuntimeDirectoryIsCreatedUnderXdgRuntimeDir) {
    auto server = start_listening({}, {{"VELLUMAR_RUNTIME_DIR", "<unset>"}, {"XDG_RUNTIME_DIR", dir.file("run")}});
    const std::string path = dir.file("run/vellumar/quillfern.sock");
    EXPECT_THAT(server->out(), HasSubstr("Listening on unix://" + path + " [G65 protocol negotiation]"));
    Client c = Client::unix_socket(path);
    c.send("PROTOCOLS: jsonrpc\n");
    EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
}

// The TCP port a process listens on, found through /proc: its socket inodes, matched
// against the listening sockets of /proc/net/tcp.
std::optional<int> listening_tcp_port(pid_t pid, int except_port) {
    std::set<std::string> inodes;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd")) {
        std::error_code ec;
        auto target = std::filesystem::read_symlink(fd.path(), ec).string();
        if (target.rfind("socket:[", 0) == 0) inodes.insert(target.substr(8, target.size() - 9));
    }
    std::ifstream tcp("/proc/net/tcp");
    std::string line;
    std::getline(tcp, line);
    while (std::getline(tcp, line)) {
        std::istringstream in(line);
        std::string slot, local, remote, state, queues, timer, retr, uid, timeout, inode;
        in >> slot >> local >> remote >> state >> queues >> timer >> retr >> uid >> timeout >> inode;
        if (state == "0A" && inodes.count(inode) && local.rfind("0100007F:", 0) == 0) {
            const int port = std::stoi(local.substr(9), nullptr, 16);
            if (port != except_port) return port;
        }
    }
    return std::nullopt;
}

Client tcp_client(int port) {
    const int fd = connect_loopback(static_cast<std::uint16_t>(port));
    if (fd < 0) throw std::runtime_error("connect");
    return Client::adopt(fd);
}

TEST_F(ServerTest, TcpOnlyBindModeListensOnAnEphemeralLoopbackPort) {
    auto server = start_listening({}, {{"WENDLE_BIND_MODE", "tcp_only"}});
    EXPECT_THAT(server->events(), Contains(" INFO quillfern_server::server: Listening on tcp://127.0.0.1:0"));
    EXPECT_FALSE(std::filesystem::exists(main_socket()));
    auto port = listening_tcp_port(server->pid(), gossip_port);
    ASSERT_TRUE(port.has_value());
    Client c = tcp_client(*port);
    c.send("PROTOCOLS: jsonrpc\n");
    EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
    EXPECT_EQ(liveness(c), liveness_reply());
}

TEST_F(ServerTest, OnlyTheExactTcpOnlyValueSelectsTcp) {
    for (const char* value : {"TCP_ONLY", "tcp", "tcp_only "}) {
        auto server = start_listening({}, {{"WENDLE_BIND_MODE", value}});
        EXPECT_THAT(server->out(), HasSubstr("Listening on unix://" + main_socket())) << value;
    }
}

TEST_F(ServerTest, UdsOverrideIsUsedUnchanged) {
    const std::string path = dir.file("deep/er/override.sock");
    auto server = start_listening({"--transport-endpoint", R"({"transport":"uds","path":")" + path + R"("})"},
                                  {{"WENDLE_BIND_MODE", "tcp_only"}});
    EXPECT_THAT(server->events(), Contains(" INFO quillfern_server::server: Listening on unix://" + path +
                                           " [G65 protocol negotiation]"));
    Client c = Client::unix_socket(path);
    c.send("PROTOCOLS: jsonrpc\n");
    EXPECT_EQ(c.read_line(), "PROTOCOL: jsonrpc");
}

TEST_F(ServerTest, StartUpFailuresEndWithStatusOneAndOneErrorLine) {
    struct Case {
        std::string endpoint;
        std::string error;
    };
    const Case cases[] = {
        {"x", "Error: invalid TRANSPORT_ENDPOINT: expected value at line 1 column 1\n"},
        {R"({"transport":"uds","path":"/tmp/a"} z)",
         "Error: invalid TRANSPORT_ENDPOINT: trailing characters at line 1 column 37\n"},
        {R"({"transport":"mesh_relay","peer_id":"p","capability":"c"})",
         "Error: MeshRelay endpoints are not directly bindable — register capabilities with Reedhorn and let it "
         "route traffic\n"},
        {R"({"transport":"uds","path":"/proc/nope/q.sock"})", "Error: No such file or directory (os error 2)\n"},
    };
    for (const auto& c : cases) {
        auto server = start({"--transport-endpoint", c.endpoint});
        EXPECT_EQ(server->wait_exit(), 1) << c.endpoint;
        EXPECT_EQ(server->err(), c.error);
    }
}

TEST_F(ServerTest, MainSocketAddressInUse) {
    // A port this test holds open.
    const LoopbackListener taken(1);
    const int port = taken.port();

    auto server = start({"--transport-endpoint", "[\"tcp\",\"127.0.0.1\"," + std::to_string(port) + "]"});
    EXPECT_EQ(server->wait_exit(), 1);
    EXPECT_EQ(server->err(), "Error: Address already in use (os error 98)\n");
}

TEST_F(ServerTest, LegacyDualSocketModeUsesFirstByteSignals) {
    auto server = start_listening({"--legacy-dual-socket"}, {{"VELLUMAR_SOCKET_DIR", dir.file("rpc")}});
    EXPECT_THAT(server->out(), HasSubstr(" INFO quillfern_server::tarpc_server: tarpc listening on unix://" +
                                         dir.file("rpc/quillfern.tarpc.sock") + "\n"));
    EXPECT_THAT(server->events(), Contains(" INFO quillfern_server::server: Listening on unix://" + main_socket()));

    Client probe = Client::unix_socket(main_socket());
    probe.send(std::string("\xEC\x00", 2));
    EXPECT_EQ(probe.read_to_end(), "{\"jsonrpc\":\"2.0\",\"result\":\"ok\",\"id\":0}\n");

    Client signalled = Client::unix_socket(main_socket());
    signalled.send("\xEC\x01");
    EXPECT_EQ(liveness(signalled, 3), liveness_reply(3));

    Client legacy = Client::unix_socket(main_socket());
    EXPECT_EQ(liveness(legacy, 4), liveness_reply(4));
    EXPECT_TRUE(server->wait_for_output(
        "Legacy unsignalled connection (first byte 0x7B) — accepting as JSON-RPC for rolling-deploy compatibility"));
}

TEST_F(ServerTest, LegacyModeStartUpFailuresComeAfterTheBinarySocket) {
    // A socket directory that can't be created ends start-up after the engine started.
    auto no_dir = start({"--legacy-dual-socket"}, {{"VELLUMAR_SOCKET_DIR", "/proc/nope/rpc"}});
    EXPECT_EQ(no_dir->wait_exit(), 1);
    EXPECT_EQ(no_dir->err(), "Error: No such file or directory (os error 2)\n");
    EXPECT_THAT(no_dir->out(), HasSubstr("quillFern started — fern spreads, kit validates"));

    // An invalid override is read only after the binary socket is bound, whose file stays.
    auto bad_override = start({"--legacy-dual-socket", "--transport-endpoint", "{}"});
    EXPECT_EQ(bad_override->wait_exit(), 1);
    EXPECT_EQ(bad_override->err(), "Error: invalid TRANSPORT_ENDPOINT: missing field `transport` at line 1 column 2\n");
    EXPECT_THAT(bad_override->out(), HasSubstr("tarpc listening on unix://" + dir.file("quillfern.tarpc.sock")));
    EXPECT_TRUE(std::filesystem::exists(dir.file("quillfern.tarpc.sock")));
}

TEST_F(ServerTest, LegacyModeWithTarpcDisabledBindsNoBinarySocket) {
    auto server = start_listening({"--legacy-dual-socket", "--disable-tarpc"});
    EXPECT_THAT(server->out(), ::testing::Not(HasSubstr("tarpc listening")));
    EXPECT_FALSE(std::filesystem::exists(dir.file("quillfern.tarpc.sock")));
}

TEST_F(ServerTest, ClosedStandardDescriptorsAreReopened) {
    auto env = base_env();
    ServerProcess server(ServerProcess::Options{{}, env, /*close_stdin=*/true, /*close_stdout=*/true});
    // Nothing can be read from its log (stdout is /dev/null): wait for the socket file instead.
    ASSERT_TRUE(wait_for_file(main_socket(), std::chrono::seconds(10)));
    std::optional<Client> c;
    // The file appears at bind(), a moment before listen(): a refused connect is retried.
    for (int attempt = 0; attempt < 200 && !c; ++attempt) {
        try {
            c.emplace(Client::unix_socket(main_socket()));
        } catch (const std::exception&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    ASSERT_TRUE(c.has_value());
    c->send("PROTOCOLS: jsonrpc\n");
    EXPECT_EQ(c->read_line(), "PROTOCOL: jsonrpc");
    EXPECT_EQ(liveness(*c), liveness_reply());
    server.send_signal(SIGTERM);
    EXPECT_EQ(server.wait_exit(), 0);
    EXPECT_EQ(server.err(), "");
}

TEST_F(ServerTest, CommandLineHelpAndErrors) {
    auto help = start({"--help"});
    EXPECT_EQ(help->wait_exit(), 0);
    EXPECT_THAT(
        help->out(),
        StartsWith("quillFern — epidemic gossip engine for the Varnekeep mesh\n\nUsage: quillfern [OPTIONS]\n"));
    EXPECT_EQ(help->err(), "");

    auto bad = start({"--gossip-port", "65536"});
    EXPECT_EQ(bad->wait_exit(), 2);
    EXPECT_EQ(bad->err(),
              "error: invalid value '65536' for '--gossip-port <GOSSIP_PORT>': 65536 is not in 0..=65535\n\n"
              "For more information, try '--help'.\n");
    EXPECT_EQ(bad->out(), "");

    auto zero = start({"--evict-interval", "0"});
    EXPECT_EQ(zero->wait_exit(), 2);
    EXPECT_THAT(zero->err(), StartsWith("error: invalid value '0' for '--evict-interval <EVICT_INTERVAL>': 0 is not "
                                        "in 1..=18446744073709551615\n"));
}

TEST_F(ServerTest, InvalidWorkerCountIsFatalEvenWithHelp) {
    auto server = start({"--help"}, {{"TOKIO_WORKER_THREADS", "0"}});
    EXPECT_EQ(server->wait_exit(), 101);
    EXPECT_THAT(server->err(), HasSubstr("\"TOKIO_WORKER_THREADS\" cannot be set to 0"));
    EXPECT_EQ(server->out(), "");
}

}  // namespace
}  // namespace quillfern::testing
