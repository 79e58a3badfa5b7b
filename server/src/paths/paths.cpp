#include "quillfern/paths.hpp"

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

std::string parent_of(std::string_view path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string_view::npos) return {};
    if (slash == 0) return "/";
    return std::string(path.substr(0, slash));
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

}  // namespace quillfern::paths
