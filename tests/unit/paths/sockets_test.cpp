// Where this gate's sockets and its siblings' sockets are looked for, and the one check of
// whether anything is there.
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "quillfern/paths.hpp"
#include "temp_dir.hpp"

namespace quillfern::paths {
namespace {

using quillfern::testing::EnvGuard;
using quillfern::testing::TempDir;

void touch(const std::string& path) { std::ofstream(path).put('x'); }

TEST(Exists, AnythingAtThePathFollowingLinks) {
    TempDir dir;
    const std::string file = dir.file("file");
    const std::string link = dir.file("link");
    const std::string dangling = dir.file("dangling");
    touch(file);
    ASSERT_EQ(::symlink(file.c_str(), link.c_str()), 0);
    ASSERT_EQ(::symlink(dir.file("nothing").c_str(), dangling.c_str()), 0);

    EXPECT_TRUE(exists(file));
    EXPECT_TRUE(exists(dir.path()));  // a directory counts too
    EXPECT_TRUE(exists(link));
    EXPECT_FALSE(exists(dangling));
    EXPECT_FALSE(exists(dir.file("missing")));
    EXPECT_FALSE(exists(""));
}

TEST(SocketNames, FamilyIdCountsUnlessAbsentEmptyOrDefault) {
    EXPECT_EQ(socket_file_name("quillfern", std::nullopt, ".sock"), "quillfern.sock");
    EXPECT_EQ(socket_file_name("quillfern", "", ".sock"), "quillfern.sock");
    EXPECT_EQ(socket_file_name("quillfern", "default", ".sock"), "quillfern.sock");
    EXPECT_EQ(socket_file_name("quillfern", "Default", ".sock"), "quillfern-Default.sock");
    EXPECT_EQ(socket_file_name("quillfern", "prod", ".tarpc.sock"), "quillfern-prod.tarpc.sock");
}

TEST(SocketDir, VellumarSocketDirWinsEvenWhenEmpty) {
    EnvGuard runtime("VELLUMAR_RUNTIME_DIR", "/srv/sock");
    EnvGuard socket("VELLUMAR_SOCKET_DIR", "/var/run/q");
    EXPECT_EQ(socket_dir(), "/var/run/q");
    socket.set("");
    EXPECT_EQ(socket_dir(), "");
    socket.set(std::nullopt);
    EXPECT_EQ(socket_dir(), "/srv/sock");
}

// The main socket always lives in the runtime directory; only the binary socket follows
// VELLUMAR_SOCKET_DIR.
TEST(GateSockets, MainInTheRuntimeDirectoryBinaryInTheSocketDirectory) {
    EnvGuard runtime("VELLUMAR_RUNTIME_DIR", "/srv/run");
    EnvGuard socket("VELLUMAR_SOCKET_DIR", std::nullopt);
    EXPECT_EQ(main_socket_path("quillfern", std::nullopt), "/srv/run/quillfern.sock");
    EXPECT_EQ(tarpc_socket_path("quillfern", "prod"), "/srv/run/quillfern-prod.tarpc.sock");
    socket.set("/var/sock/");
    EXPECT_EQ(main_socket_path("quillfern", "prod"), "/srv/run/quillfern-prod.sock");
    EXPECT_EQ(tarpc_socket_path("quillfern", "default"), "/var/sock/quillfern.tarpc.sock");
}

TEST(GossipPortFromEnv, ReadsAnUnsigned16BitDecimalElse7800) {
    const std::vector<std::pair<std::optional<std::string>, std::uint16_t>> cases{
        {std::nullopt, 7800}, {"7801", 7801},  {"+7801", 7801}, {"0", 0},        {"065535", 65535},
        {" 7801", 7800},      {"7801 ", 7800}, {"-1", 7800},    {"65536", 7800}, {"", 7800},
        {"+", 7800},          {"++1", 7800},   {"78a", 7800},   {"\xFF", 7800},
    };
    EnvGuard port("GOSSIP_PORT");
    for (const auto& [value, expected] : cases) {
        port.set(value);
        EXPECT_EQ(gossip_port_from_env(), expected) << (value ? *value : "(unset)");
    }
}

TEST(DiscoverReedhornSocket, PrefersAnExistingOverrideThenTheRuntimeDirectory) {
    TempDir dir;
    EnvGuard runtime("VELLUMAR_RUNTIME_DIR", dir.path());
    EnvGuard override_path("REEDHORN_SOCKET", std::nullopt);
    const std::string in_runtime = dir.file("reedhorn.sock");
    const std::string elsewhere = dir.file("other.sock");

    EXPECT_EQ(discover_reedhorn_socket(), std::nullopt);
    override_path.set(elsewhere);
    EXPECT_EQ(discover_reedhorn_socket(), std::nullopt);  // the override names nothing
    touch(in_runtime);                                    // any kind of file counts
    EXPECT_EQ(discover_reedhorn_socket(), in_runtime);
    touch(elsewhere);
    EXPECT_EQ(discover_reedhorn_socket(), elsewhere);
    override_path.set("");
    EXPECT_EQ(discover_reedhorn_socket(), in_runtime);  // an empty path never exists
}

TEST(ThornkitSocketPath, OverrideAsItIsElseTheRuntimeDirectory) {
    EnvGuard runtime("VELLUMAR_RUNTIME_DIR", "/srv/q");
    EnvGuard configured("QUILLFERN_THORNKIT_SOCK", "/elsewhere/tk.sock");
    EXPECT_EQ(thornkit_socket_path(), "/elsewhere/tk.sock");  // whether or not anything is there
    configured.set("");
    EXPECT_EQ(thornkit_socket_path(), "");
    configured.set(std::nullopt);
    EXPECT_EQ(thornkit_socket_path(), "/srv/q/thornkit.sock");
    configured.set("/bad\xFF");  // not UTF-8: counts as unset
    EXPECT_EQ(thornkit_socket_path(), "/srv/q/thornkit.sock");
}

class QuorvelSocketTest : public ::testing::Test {
protected:
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
}  // namespace quillfern::paths
