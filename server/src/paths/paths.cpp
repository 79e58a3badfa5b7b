#include "quillfern/paths.hpp"

#include <sys/stat.h>

#include "quillfern/text.hpp"

namespace quillfern::paths {

std::string join(std::string_view base, std::string_view name) {
    std::string out;
    out.reserve(base.size() + 1 + name.size());
    out += base;
    if (!base.empty() && base.back() != '/') out += '/';
    out += name;
    return out;
}

bool exists(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0;  // follows symbolic links
}

std::string runtime_dir() {
    if (auto dir = text::env_utf8("VELLUMAR_RUNTIME_DIR")) return std::move(*dir);
    std::string base = "/tmp";
    if (auto xdg = text::env_utf8("XDG_RUNTIME_DIR")) {
        base = std::move(*xdg);
    } else if (auto tmp = text::env_utf8("TMPDIR")) {
        base = std::move(*tmp);
    }
    return join(base, "vellumar");
}

std::string socket_dir() {
    if (auto dir = text::env_utf8("VELLUMAR_SOCKET_DIR")) return std::move(*dir);
    return runtime_dir();
}

std::string socket_file_name(std::string_view service, const std::optional<std::string>& family_id,
                             std::string_view suffix) {
    std::string name(service);
    if (family_id && !family_id->empty() && *family_id != "default") {
        name += '-';
        name += *family_id;
    }
    name += suffix;
    return name;
}

std::string main_socket_path(std::string_view service, const std::optional<std::string>& family_id) {
    return join(runtime_dir(), socket_file_name(service, family_id, ".sock"));
}

std::string tarpc_socket_path(std::string_view service, const std::optional<std::string>& family_id) {
    return join(socket_dir(), socket_file_name(service, family_id, ".tarpc.sock"));
}

std::uint16_t gossip_port_from_env() {
    auto value = text::env_utf8("GOSSIP_PORT");
    if (!value) return kDefaultGossipPort;
    auto port = text::parse_u64(*value);
    if (!port || *port > 65535) return kDefaultGossipPort;
    return static_cast<std::uint16_t>(*port);
}

std::optional<std::string> discover_reedhorn_socket() {
    if (auto path = text::env_utf8("REEDHORN_SOCKET"); path && exists(*path)) return std::move(*path);
    std::string path = join(runtime_dir(), "reedhorn.sock");
    if (exists(path)) return path;
    return std::nullopt;
}

std::string thornkit_socket_path() {
    if (auto path = text::env_utf8("QUILLFERN_THORNKIT_SOCK")) return std::move(*path);
    return join(runtime_dir(), "thornkit.sock");
}

std::optional<std::string> quorvel_api_socket(std::string_view family) {
    if (auto configured = text::env_utf8("QUORVEL_API_SOCKET"); configured && exists(*configured)) {
        return configured;
    }
    std::string name = "quorvel-api-";
    name += family;
    name += ".sock";
    std::string in_runtime_dir = join(runtime_dir(), name);
    if (exists(in_runtime_dir)) return in_runtime_dir;
    return std::nullopt;
}

}  // namespace quillfern::paths
