// Where the sockets of this gate and of its siblings live, the environment look-ups that
// decide it, and the path joining every caller uses. Every look-up reads the environment
// (and the file system) anew at each call.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quillfern::paths {

// Appends `name` as one more path component: one '/' between them unless `base` is
// empty (then `name` alone, a relative path) or already ends with '/'. Nothing else
// is normalised.
std::string join(std::string_view base, std::string_view name);

// Whether something (of any kind) is at `path`, following symbolic links. An empty path
// never exists.
bool exists(const std::string& path);

// ---- Directories ----------------------------------------------------------------------

// The runtime directory: VELLUMAR_RUNTIME_DIR unchanged (empty included); else
// XDG_RUNTIME_DIR, else TMPDIR, else "/tmp", joined with "vellumar". Unset and
// non-UTF-8 values count alike.
std::string runtime_dir();

// The binary RPC socket's directory: VELLUMAR_SOCKET_DIR (unchanged, even empty), else runtime_dir().
std::string socket_dir();

// ---- This gate's sockets ----------------------------------------------------------------

// "quillfern" + suffix, or "quillfern-<family>" + suffix when the family id counts
// (present, not empty and not exactly "default").
std::string socket_file_name(std::string_view service, const std::optional<std::string>& family_id,
                             std::string_view suffix);

// The main socket: runtime_dir()/quillfern[-family].sock.
std::string main_socket_path(std::string_view service, const std::optional<std::string>& family_id);

// The binary RPC socket: socket_dir()/quillfern[-family].tarpc.sock.
std::string tarpc_socket_path(std::string_view service, const std::optional<std::string>& family_id);

// The gossip port peers learned from reedHorn listen on: GOSSIP_PORT as an unsigned 16-bit
// decimal (one leading '+' and leading zeros allowed), else kDefaultGossipPort.
inline constexpr std::uint16_t kDefaultGossipPort = 7800;
std::uint16_t gossip_port_from_env();

// ---- The siblings' sockets --------------------------------------------------------------

// reedHorn's socket: REEDHORN_SOCKET when something exists at that path, else
// "reedhorn.sock" in the runtime directory when something exists there, else none.
std::optional<std::string> discover_reedhorn_socket();

// thornKit's socket path: QUILLFERN_THORNKIT_SOCK unchanged (empty included) when set and
// UTF-8, else the runtime directory joined with "thornkit.sock". Whether anything is
// there is the caller's to ask.
std::string thornkit_socket_path();

// The quorvel API's socket: QUORVEL_API_SOCKET when that path exists, else
// runtime_dir()/quorvel-api-<family>.sock when that exists, else none.
std::optional<std::string> quorvel_api_socket(std::string_view family);

}  // namespace quillfern::paths
