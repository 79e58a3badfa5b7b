// What a test can read of a server process's memory from outside, and when the figures mean
// anything.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <fstream>
#include <string>

namespace quillfern::testing {

// Under the sanitizers the allocator keeps freed memory in quarantine, ignores malloc_trim
// and maps a shadow beside every byte: memory figures and address-space limits say nothing.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
inline constexpr bool kMemoryFiguresHold = false;
#else
inline constexpr bool kMemoryFiguresHold = true;
#endif

// A figure of /proc/<pid>/status in bytes ("VmRSS", "VmHWM"); 0 when it can't be read.
inline std::size_t status_bytes(pid_t pid, const std::string& name) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(name + ":", 0) == 0) return std::stoull(line.substr(name.size() + 1)) * 1024;
    }
    return 0;
}

}  // namespace quillfern::testing
