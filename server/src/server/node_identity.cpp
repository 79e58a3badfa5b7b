#include "quillfern/node_identity.hpp"

#include <fstream>
#include <iterator>

#include "quillfern/text.hpp"

namespace quillfern {

namespace {

std::optional<std::string> hostname_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad() || !text::is_valid_utf8(content)) return std::nullopt;
    std::string_view trimmed = text::trim(content);
    if (trimmed.empty()) return std::nullopt;
    return std::string(trimmed);
}

}  // namespace

std::string resolve_node_id(const std::optional<std::string>& gate_id, const char* proc_hostname,
                            const char* etc_hostname) {
    if (gate_id) return *gate_id;
    if (auto v = text::env_utf8("GATE_ID")) return *v;
    if (auto v = text::env_utf8("HOSTNAME")) return *v;
    if (auto v = hostname_file(proc_hostname)) return *v;
    if (auto v = hostname_file(etc_hostname)) return *v;
    return "unknown";
}

std::string resolve_node_id(const std::optional<std::string>& gate_id) {
    return resolve_node_id(gate_id, "/proc/sys/kernel/hostname", "/etc/hostname");
}

}  // namespace quillfern
