// Test support: a fresh temporary directory with a short path.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillfern::testing {

// A fresh directory with a short path (Unix socket paths are limited to 107 bytes).
class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/qf-XXXXXX";
        if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = tmpl;
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

}  // namespace quillfern::testing
