// The registration task against a fake quorvel API and a fake reedHorn on real Unix
// sockets: the bytes each receives, the log line of every outcome, and the limits that
// keep one silent sibling from holding up the other.
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <asio/io_context.hpp>

#include "env_guard.hpp"
#include "fake_line_server.hpp"
#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"
#include "quillfern/transport.hpp"
#include "run_task.hpp"
#include "temp_dir.hpp"

namespace quillfern::announce {
namespace {

using quillfern::testing::EnvGuard;
using quillfern::testing::FakeLineServer;
using quillfern::testing::TempDir;
using ::testing::ElementsAre;

constexpr const char* kAnnounced = " INFO quillfern_server::announce: Announced to Quorvel API: ";
constexpr const char* kRegistered = " INFO quillfern_server::announce: Registered with Reedhorn: ";
constexpr const char* kNoQuorvel =
    " INFO quillfern_server::announce: Vellumar quorvel-api socket not found — skipping announce";
constexpr const char* kNoReedhorn =
    " INFO quillfern_server::announce: Reedhorn socket not found — skipping ipc.register";
constexpr const char* kQuorvelSilent = " WARN quillfern_server::announce: No response to wendle.announce";
constexpr const char* kReedhornSilent = " WARN quillfern_server::announce: No response from reedhorn ipc.register";

// Short limits, so that the silent cases end quickly.
sibling_client::Limits quick_limits() {
    sibling_client::Limits limits;
    limits.connect = std::chrono::milliseconds(2000);
    limits.write = std::chrono::milliseconds(2000);
    limits.reply = std::chrono::milliseconds(300);
    return limits;
}

class RegistrationTest : public ::testing::Test {
protected:
    std::string main_socket() const { return dir.file("quillfern.sock"); }
    std::string quorvel_path(std::string_view family = "tarnWendle") const {
        return dir.file("quorvel-api-" + std::string(family) + ".sock");
    }
    std::string reedhorn_path() const { return dir.file("reedhorn.sock"); }

    // Runs the whole registration task, as serve() starts it for the main socket.
    void run_registration(std::string family = "tarnWendle", sibling_client::Limits limits = quick_limits()) {
        const transport::TransportEndpoint endpoint{transport::Uds{main_socket()}};
        asio::io_context io;
        quillfern::testing::run_task(io, register_with_reedhorn("quillfern", main_socket(), std::move(family),
                                                                "quillfern", endpoint.to_json(), limits));
    }

    std::string expected_announce() const {
        return wendle_announce_line("quillfern", main_socket(), 7800, static_cast<std::uint32_t>(::getpid()));
    }
    std::string expected_register() const {
        return ipc_register_line("quillfern", transport::TransportEndpoint{transport::Uds{main_socket()}}.to_json());
    }

    TempDir dir;
    EnvGuard runtime{"VELLUMAR_RUNTIME_DIR", dir.path()};
    EnvGuard quorvel_env{"QUORVEL_API_SOCKET", std::nullopt};
    EnvGuard reedhorn_env{"REEDHORN_SOCKET", std::nullopt};
    EnvGuard port_env{"GOSSIP_PORT", std::nullopt};
};

TEST_F(RegistrationTest, AnnouncesThenRegistersWithTheExactLines) {
    auto quorvel = FakeLineServer::on_unix_socket(quorvel_path(), FakeLineServer::answer("{\"result\":\"ok\"}\n"));
    auto reedhorn = FakeLineServer::on_unix_socket(
        reedhorn_path(), FakeLineServer::answer("{\"error\":{\"code\":-32601,\"message\":\"Method not found\"}}\n"));
    log::testing::Capture capture("info");
    run_registration();

    EXPECT_THAT(quorvel->received(), ElementsAre(expected_announce()));
    EXPECT_THAT(reedhorn->received(), ElementsAre(expected_register()));
    // Replies are logged as read, their newline included, through the log's escaping.
    EXPECT_THAT(capture.events(), ElementsAre(std::string(kAnnounced) + "{\"result\":\"ok\"}\\n",
                                              std::string(kRegistered) +
                                                  "{\"error\":{\"code\":-32601,\"message\":\"Method not found\"}}\\n"));
}

TEST_F(RegistrationTest, NoSiblingsGiveOneLineEach) {
    log::testing::Capture capture("info");
    run_registration();
    EXPECT_THAT(capture.events(), ElementsAre(kNoQuorvel, kNoReedhorn));
}

TEST_F(RegistrationTest, AnnouncementUsesTheEnvironmentGossipPortAndTheFamilySocket) {
    port_env.set("9002");
    auto quorvel = FakeLineServer::on_unix_socket(quorvel_path("default"), FakeLineServer::answer("ok"));
    log::testing::Capture capture("info");
    run_registration("default");
    const std::string expected =
        wendle_announce_line("quillfern", main_socket(), 9002, static_cast<std::uint32_t>(::getpid()));
    EXPECT_THAT(quorvel->received(), ElementsAre(expected));
    EXPECT_THAT(capture.events(), ElementsAre(std::string(kAnnounced) + "ok", kNoReedhorn));
}

// Each reply outcome, once from the quorvel API and once from reedHorn.
TEST_F(RegistrationTest, ReplyOutcomes) {
    struct Case {
        const char* name;
        FakeLineServer::Behaviour behaviour;
        std::string announce_event;
        std::string register_event;
    };
    const std::string huge(std::size_t{1} << 21, 'x');  // past the 1 MiB cap, no newline
    const Case cases[] = {
        {"closed without a byte", FakeLineServer::answer(""), kQuorvelSilent, kReedhornSilent},
        {"two bytes, no newline", FakeLineServer::answer("ok"), std::string(kAnnounced) + "ok",
         std::string(kRegistered) + "ok"},
        {"only the first line", FakeLineServer::answer("one\ntwo\n"), std::string(kAnnounced) + "one\\n",
         std::string(kRegistered) + "one\\n"},
        {"not UTF-8", FakeLineServer::answer("\xff\xfe\n"), kQuorvelSilent, kReedhornSilent},
        {"terminal controls", FakeLineServer::answer("\x1b[2J\r\n"), std::string(kAnnounced) + "\\x1b[2J\\r\\n",
         std::string(kRegistered) + "\\x1b[2J\\r\\n"},
        {"silent", FakeLineServer::silent(), kQuorvelSilent, kReedhornSilent},
        {"past the cap", FakeLineServer::answer(huge), kQuorvelSilent, kReedhornSilent},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto quorvel = FakeLineServer::on_unix_socket(quorvel_path(), c.behaviour);
        auto reedhorn = FakeLineServer::on_unix_socket(reedhorn_path(), c.behaviour);
        log::testing::Capture capture("info");
        run_registration();
        EXPECT_THAT(capture.events(), ElementsAre(c.announce_event, c.register_event));
        EXPECT_EQ(quorvel->connections(), 1u);
        EXPECT_EQ(reedhorn->connections(), 1u);
    }
}

TEST_F(RegistrationTest, StaleSocketFilesAreNotReachable) {
    for (const std::string& path : {quorvel_path(), reedhorn_path()}) {
        // A socket file nobody listens on any more.
        int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        path.copy(addr.sun_path, sizeof addr.sun_path - 1);
        ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        ::close(fd);
    }
    log::testing::Capture capture("info");
    run_registration();
    EXPECT_THAT(capture.events(),
                ElementsAre(" INFO quillfern_server::announce: Vellumar quorvel-api not reachable (Connection refused "
                            "(os error 111)) — wendle operates standalone",
                            " INFO quillfern_server::announce: Reedhorn not reachable (Connection refused (os error "
                            "111)) — wendle operates without discovery"));
}

TEST_F(RegistrationTest, SilentQuorvelApiDoesNotKeepTheGateFromRegistering) {
    auto quorvel = FakeLineServer::on_unix_socket(quorvel_path(), FakeLineServer::silent());
    auto reedhorn = FakeLineServer::on_unix_socket(reedhorn_path(), FakeLineServer::answer("{}\n"));
    log::testing::Capture capture("info");
    run_registration();
    EXPECT_THAT(capture.events(), ElementsAre(kQuorvelSilent, std::string(kRegistered) + "{}\\n"));
    EXPECT_THAT(reedhorn->received(), ElementsAre(expected_register()));
}

TEST_F(RegistrationTest, ReedhornIsLookedForAfterTheAnnouncement) {
    auto quorvel = FakeLineServer::on_unix_socket(quorvel_path(),
                                                  FakeLineServer::answer_late("ok\n", std::chrono::milliseconds(200)));
    std::unique_ptr<FakeLineServer> reedhorn;
    // reedHorn comes up while the announcement waits for its reply.
    std::thread late_start([&] {
        quorvel->wait_for_requests(1);
        reedhorn = FakeLineServer::on_unix_socket(reedhorn_path(), FakeLineServer::answer("ok\n"));
    });
    log::testing::Capture capture("info");
    sibling_client::Limits limits = quick_limits();
    limits.reply = std::chrono::milliseconds(5000);
    run_registration("tarnWendle", limits);
    late_start.join();
    EXPECT_THAT(capture.events(), ElementsAre(std::string(kAnnounced) + "ok\\n", std::string(kRegistered) + "ok\\n"));
    EXPECT_THAT(reedhorn->received(), ElementsAre(expected_register()));
}

TEST_F(RegistrationTest, EnvironmentSocketsComeFirst) {
    const std::string api = dir.file("api.sock");
    const std::string horn = dir.file("horn.sock");
    auto quorvel = FakeLineServer::on_unix_socket(api, FakeLineServer::answer("a\n"));
    auto reedhorn = FakeLineServer::on_unix_socket(horn, FakeLineServer::answer("r\n"));
    auto family_api = FakeLineServer::on_unix_socket(quorvel_path(), FakeLineServer::answer("wrong\n"));
    quorvel_env.set(api);
    reedhorn_env.set(horn);
    log::testing::Capture capture("info");
    run_registration();
    EXPECT_THAT(capture.events(), ElementsAre(std::string(kAnnounced) + "a\\n", std::string(kRegistered) + "r\\n"));
    EXPECT_EQ(family_api->connections(), 0u);
}

}  // namespace
}  // namespace quillfern::announce
