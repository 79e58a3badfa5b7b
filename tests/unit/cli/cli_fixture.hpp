// Helpers for the command-line tests: a fake environment and a parse call that
// supplies the program path.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "quillfern/cli.hpp"

namespace quillfern::cli::testing {

using Env = std::map<std::string, std::string>;

inline EnvLookup fake_env(Env vars) {
    return [vars = std::move(vars)](const char* name) -> std::optional<std::string> {
        auto it = vars.find(name);
        if (it == vars.end()) return std::nullopt;
        return it->second;
    };
}

// Parses `arguments` as given after the program path "/usr/bin/quillfern".
inline ParseResult run(std::vector<std::string> arguments, Env env = {}) {
    arguments.insert(arguments.begin(), "/usr/bin/quillfern");
    return parse(arguments, fake_env(std::move(env)));
}

// The closing lines of a report: with the usage line, or without it.
inline std::string with_usage(const std::string& message) {
    return "error: " + message + "\n\nUsage: quillfern [OPTIONS]\n\nFor more information, try '--help'.\n";
}

inline std::string without_usage(const std::string& message) {
    return "error: " + message + "\n\nFor more information, try '--help'.\n";
}

}  // namespace quillfern::cli::testing
