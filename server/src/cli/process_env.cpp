#include <cstdlib>

#include "quillfern/cli.hpp"

namespace quillfern::cli {

EnvLookup process_env() {
    return [](const char* name) -> std::optional<std::string> {
        const char* raw = std::getenv(name);
        if (raw == nullptr) return std::nullopt;
        return std::string(raw);
    };
}

}  // namespace quillfern::cli
