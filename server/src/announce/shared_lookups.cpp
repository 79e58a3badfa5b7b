// reedHorn's socket and the gossip port of the environment, until the spread module
// provides them.
#include <sys/stat.h>

#include "quillfern/announce.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/text.hpp"

namespace quillfern {

std::optional<std::string> discover_reedhorn_socket() {
    struct stat info {};
    if (auto configured = text::env_utf8("REEDHORN_SOCKET");
        configured && !configured->empty() && ::stat(configured->c_str(), &info) == 0) {
        return configured;
    }
    std::string path = paths::join(paths::runtime_dir(), "reedhorn.sock");
    if (::stat(path.c_str(), &info) == 0) return path;
    return std::nullopt;
}

std::uint16_t gossip_port_from_env() {
    if (auto value = text::env_utf8("GOSSIP_PORT")) {
        if (auto parsed = text::parse_u64(*value); parsed && *parsed <= 65535) return static_cast<std::uint16_t>(*parsed);
    }
    return 7800;
}

}  // namespace quillfern
