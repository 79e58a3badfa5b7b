// Where the ecosystem's sockets live, and the path joining every caller uses.
#pragma once

#include <string>
#include <string_view>

namespace quillfern::paths {

// Appends `name` as one more path component: one '/' between them unless `base` is
// empty (then `name` alone, a relative path) or already ends with '/'. Nothing else
// is normalised.
std::string join(std::string_view base, std::string_view name);

// The directory part of `path`: everything before its last '/' ("/" for a file in the
// root, "" for a bare name). Trailing separators of `path` itself are not special.
std::string parent_of(std::string_view path);

// The runtime directory: VELLUMAR_RUNTIME_DIR unchanged (empty included); else
// XDG_RUNTIME_DIR, else TMPDIR, else "/tmp", joined with "vellumar". Unset and
// non-UTF-8 values count alike. Reads the environment at every call.
std::string runtime_dir();

}  // namespace quillfern::paths
