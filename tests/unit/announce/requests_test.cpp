// The request lines of the registration task, byte for byte.
#include <gtest/gtest.h>

#include "quillfern/announce.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::announce {
namespace {

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

}  // namespace
}  // namespace quillfern::announce
