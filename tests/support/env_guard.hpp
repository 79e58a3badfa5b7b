// Test support: an environment variable set (or unset) for one scope, then restored.
#pragma once

#include <stdlib.h>

#include <optional>
#include <string>

namespace quillfern::testing {

// Sets an environment variable for the guard's lifetime (none: unset), then restores it.
class EnvGuard {
public:
    EnvGuard(const char* name, std::optional<std::string> value) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
        apply(value);
    }
    // Only remembers the variable, to restore whatever a test sets it to.
    explicit EnvGuard(const char* name) : name_(name) {
        if (const char* old = std::getenv(name)) saved_ = old;
    }
    ~EnvGuard() { apply(saved_); }
    EnvGuard(const EnvGuard&) = delete;
    EnvGuard& operator=(const EnvGuard&) = delete;

    void set(std::optional<std::string> value) { apply(value); }

private:
    void apply(const std::optional<std::string>& value) {
        if (value) {
            ::setenv(name_, value->c_str(), 1);
        } else {
            ::unsetenv(name_);
        }
    }

    const char* name_;
    std::optional<std::string> saved_;
};

}  // namespace quillfern::testing
