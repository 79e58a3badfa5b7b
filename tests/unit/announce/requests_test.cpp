// The request lines of the registration task, byte for byte, and where the quorvel API
// socket is looked for.
#include <unistd.h>

#include <fstream>

#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "quillfern/announce.hpp"
#include "quillfern/transport.hpp"
#include "temp_dir.hpp"

namespace quillfern::announce {
namespace {

using quillfern::testing::EnvGuard;
using quillfern::testing::TempDir;

TEST(WendleAnnounceLine, DefaultStartIsByteExact) {
    EXPECT_EQ(wendle_announce_line("quillfern", "/tmp/vellumar/quillfern.sock", 7800, 4242),
              R"({"id":1,"jsonrpc":"2.0","method":"wendle.announce","params":{"capabilities":["gossip"],)"
              R"("cost_hints":{"gossip":1},"gossip_port":7800,"latency_estimates":{"gossip":5},"methods":)"
              R"(["health.liveness","health.readiness","health.check","capabilities.list","btsp.negotiate",)"
              R"("wendle.announce","gossip.spread","gossip.inject","gossip.query","gossip.status","gossip.peers",)"
              R"("gossip.subscribe"],"pid":4242,"protocol":"json-rpc","signal_tiers":["varne","node","meta"],)"
              R"("socket":"/tmp/vellumar/quillfern.sock","tarpc_socket":"/tmp/vellumar/quillfern.tarpc.sock",)"
              R"("version":"0.1.0","wendle":"quillfern"}})"
              "\n");
}

TEST(WendleAnnounceLine, PathsAreJsonStrings) {
    const std::string line = wendle_announce_line("quillfern", "/run/a \"b\"\\c.sock", 0, 1);
    EXPECT_NE(line.find(R"("gossip_port":0,)"), std::string::npos) << line;
    EXPECT_NE(line.find(R"("socket":"/run/a \"b\"\\c.sock","tarpc_socket":"/run/a \"b\"\\c.tarpc.sock")"),
              std::string::npos)
        << line;
}

TEST(TarpcSocketOf, ReplacesEveryOccurrenceLeftToRight) {
    struct Case {
        const char* path;
        const char* expected;
    };
    for (const Case& c : {
             Case{"/tmp/vellumar/quillfern.sock", "/tmp/vellumar/quillfern.tarpc.sock"},
             Case{"/srv/a.sock.d/quillfern.sock", "/srv/a.tarpc.sock.d/quillfern.tarpc.sock"},
             Case{"socket", "socket"},
             Case{"", ""},
             Case{".sock.sock", ".tarpc.sock.tarpc.sock"},
             Case{"/x.sockets/y", "/x.tarpc.sockets/y"},
             Case{"/x.soc", "/x.soc"},
         }) {
        EXPECT_EQ(tarpc_socket_of(c.path), c.expected) << c.path;
    }
}

TEST(IpcRegisterLine, DefaultStartIsByteExact) {
    const transport::TransportEndpoint endpoint{transport::Uds{"/tmp/vellumar/quillfern.sock"}};
    EXPECT_EQ(ipc_register_line("quillfern", endpoint.to_json()),
              R"({"id":1,"jsonrpc":"2.0","method":"ipc.register","params":{"capabilities":["gossip"],)"
              R"("endpoint":{"path":"/tmp/vellumar/quillfern.sock","transport":"uds"},"version":"0.1.0",)"
              R"("wendle":"quillfern"}})"
              "\n");
}

class QuorvelSocketTest : public ::testing::Test {
protected:
    void touch(const std::string& path) { std::ofstream(path).put('x'); }

    TempDir dir;
    EnvGuard runtime{"VELLUMAR_RUNTIME_DIR", dir.path()};
    EnvGuard configured{"QUORVEL_API_SOCKET", std::nullopt};
};

TEST_F(QuorvelSocketTest, FamilyFileInTheRuntimeDirectory) {
    EXPECT_EQ(quorvel_api_socket("tarnWendle"), std::nullopt);
    for (const char* family : {"tarnWendle", "default", "", "prod"}) {
        const std::string file = dir.file(std::string("quorvel-api-") + family + ".sock");
        touch(file);
        EXPECT_EQ(quorvel_api_socket(family), file) << family;
    }
}

TEST_F(QuorvelSocketTest, EnvironmentPathFirstWhenItExists) {
    const std::string family_file = dir.file("quorvel-api-tarnWendle.sock");
    const std::string elsewhere = dir.file("api.sock");
    touch(family_file);

    configured.set(dir.file("missing.sock"));
    EXPECT_EQ(quorvel_api_socket("tarnWendle"), family_file);
    configured.set("");
    EXPECT_EQ(quorvel_api_socket("tarnWendle"), family_file);
    touch(elsewhere);
    configured.set(elsewhere);
    EXPECT_EQ(quorvel_api_socket("tarnWendle"), elsewhere);
    // A symbolic link counts when its target exists.
    const std::string link = dir.file("link.sock");
    ASSERT_EQ(::symlink(elsewhere.c_str(), link.c_str()), 0);
    configured.set(link);
    EXPECT_EQ(quorvel_api_socket("tarnWendle"), link);
    ::unlink(elsewhere.c_str());
    EXPECT_EQ(quorvel_api_socket("tarnWendle"), family_file);
}

}  // namespace
}  // namespace quillfern::announce
