// Test support: a TCP port on 127.0.0.1 that nothing listens on right now, and a plain
// blocking TCP connection to one.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <optional>

#include "loopback_listener.hpp"

namespace quillfern::testing {

// A port the system just handed out for 127.0.0.1 and took back: free for a new listener
// unless another process grabs it in between (ports are handed out in turn, so rarely).
inline std::uint16_t free_tcp_port() { return LoopbackListener(std::nullopt).port(); }

// A connected socket to 127.0.0.1:port, or -1.
inline int connect_loopback(std::uint16_t port) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace quillfern::testing
