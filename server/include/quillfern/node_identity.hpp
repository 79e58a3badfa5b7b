// This gate's node id, and the names and directories of the sockets it binds.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quillfern {

// The node id: the command line's gate id if given (unchanged, even empty), else GATE_ID,
// else HOSTNAME, else the trimmed /proc/sys/kernel/hostname, else /etc/hostname, else "unknown".
std::string resolve_node_id(const std::optional<std::string>& gate_id);

// The same, reading the two hostname files from the given paths (for tests).
std::string resolve_node_id(const std::optional<std::string>& gate_id, const char* proc_hostname,
                            const char* etc_hostname);

// "quillfern" + suffix, or "quillfern-<family>" + suffix when the family id counts
// (present, not empty and not exactly "default").
std::string socket_file_name(std::string_view service, const std::optional<std::string>& family_id,
                             std::string_view suffix);

// The binary RPC socket's directory: VELLUMAR_SOCKET_DIR (unchanged, even empty), else runtime_dir().
std::string socket_dir();

}  // namespace quillfern
