// The announcement to the quorvel API: one "wendle.announce" line, one reply line logged
// as it came.
#include <sys/stat.h>

#include "quillfern/announce.hpp"
#include "quillfern/log.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/text.hpp"

namespace quillfern::announce {

namespace {

bool path_exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;  // follows symbolic links
}

}  // namespace

std::optional<std::string> quorvel_api_socket(std::string_view family) {
    if (auto configured = text::env_utf8("QUORVEL_API_SOCKET"); configured && path_exists(*configured)) {
        return configured;
    }
    std::string name = "quorvel-api-";
    name += family;
    name += ".sock";
    std::string in_runtime_dir = paths::join(paths::runtime_dir(), name);
    if (path_exists(in_runtime_dir)) return in_runtime_dir;
    return std::nullopt;
}

}  // namespace quillfern::announce
