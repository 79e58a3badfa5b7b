// This gate's node id.
#pragma once

#include <optional>
#include <string>

namespace quillfern {

// The node id: the command line's gate id if given (unchanged, even empty), else GATE_ID,
// else HOSTNAME, else the trimmed /proc/sys/kernel/hostname, else /etc/hostname, else "unknown".
std::string resolve_node_id(const std::optional<std::string>& gate_id);

// The same, reading the two hostname files from the given paths (for tests).
std::string resolve_node_id(const std::optional<std::string>& gate_id, const char* proc_hostname,
                            const char* etc_hostname);

}  // namespace quillfern
