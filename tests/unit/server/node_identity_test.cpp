#include "quillfern/node_identity.hpp"

#include <cstdlib>
#include <fstream>
#include <optional>

#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "quillfern/server.hpp"
#include "temp_dir.hpp"

namespace quillfern {
namespace {

using testing::EnvGuard;

class NodeIdTest : public ::testing::Test {
protected:
    std::string write(const char* name, const std::string& content) {
        std::string path = dir.file(name);
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
    testing::TempDir dir;
};

TEST_F(NodeIdTest, FirstSourceThatYieldsWins) {
    const std::string proc = write("proc", "alpha\n");
    const std::string etc = write("etc", "beta\n");
    const std::string blank = write("blank", "  \n");
    const std::string bad = write("bad", "\xFF\n");
    const std::string missing = dir.file("missing");
    struct Case {
        std::optional<std::string> gate_id, gate_env, hostname_env;
        std::string proc, etc, expected;
    };
    const Case cases[] = {
        {" spaced ", "env", "host", proc, etc, " spaced "},  // the command line, unchanged
        {"", "env", "host", proc, etc, ""},                  // even empty
        {std::nullopt, "env-gate", "host", proc, etc, "env-gate"},
        {std::nullopt, std::nullopt, "", proc, etc, ""},           // an empty HOSTNAME counts
        {std::nullopt, std::nullopt, "\xFF", proc, etc, "alpha"},  // non-UTF-8 counts as unset
        {std::nullopt, std::nullopt, std::nullopt, proc, etc, "alpha"},
        {std::nullopt, std::nullopt, std::nullopt, missing, etc, "beta"},
        {std::nullopt, std::nullopt, std::nullopt, bad, etc, "beta"},
        {std::nullopt, std::nullopt, std::nullopt, missing, blank, "unknown"},
    };
    for (const auto& c : cases) {
        EnvGuard gate("GATE_ID", c.gate_env);
        EnvGuard hostname("HOSTNAME", c.hostname_env);
        EXPECT_EQ(resolve_node_id(c.gate_id, c.proc.c_str(), c.etc.c_str()), c.expected) << c.expected;
    }
}

TEST(ChooseEndpoint, OverrideThenTcpOnlyThenUnixSocket) {
    EnvGuard runtime("VELLUMAR_RUNTIME_DIR", "/srv/sock");
    EnvGuard bind_mode("WENDLE_BIND_MODE", "tcp_only");
    const transport::TransportEndpoint uds_override{transport::Uds{"/x/y.sock"}};
    EXPECT_EQ(server::choose_endpoint(uds_override, "prod", "quillfern"), uds_override);
    EXPECT_EQ(server::choose_endpoint(std::nullopt, "prod", "quillfern"),
              transport::TransportEndpoint(transport::Tcp{"127.0.0.1", 0}));
    for (const char* other : {"TCP_ONLY", "tcp", "tcp_only "}) {
        bind_mode.set(other);
        EXPECT_EQ(server::choose_endpoint(std::nullopt, "prod", "quillfern"),
                  transport::TransportEndpoint(transport::Uds{"/srv/sock/quillfern-prod.sock"}))
            << other;
    }
}

}  // namespace
}  // namespace quillfern
