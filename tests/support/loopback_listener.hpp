// Test support: a TCP socket of the test's own on 127.0.0.1 (or another loopback address),
// on a port the system picks.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace quillfern::testing {

class LoopbackListener {
public:
    // Listening with a queue of `backlog` connections (0: the smallest the system keeps);
    // with none, only bound: the port is taken, and connections to it are refused. `host`
    // (in host byte order) is an address of 127.0.0.0/8.
    explicit LoopbackListener(std::optional<int> backlog = SOMAXCONN, std::uint32_t host = INADDR_LOOPBACK)
        : fd_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        address_.sin_family = AF_INET;
        address_.sin_addr.s_addr = htonl(host);
        socklen_t length = sizeof address_;
        if (fd_ < 0 || ::bind(fd_, reinterpret_cast<const sockaddr*>(&address_), sizeof address_) != 0 ||
            (backlog && ::listen(fd_, *backlog) != 0) ||
            ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address_), &length) != 0) {
            const std::string error = std::strerror(errno);
            if (fd_ >= 0) ::close(fd_);
            throw std::runtime_error("bind tcp " + host_text() + ": " + error);
        }
    }
    ~LoopbackListener() {
        if (fd_ >= 0) ::close(fd_);
    }
    LoopbackListener(const LoopbackListener&) = delete;
    LoopbackListener& operator=(const LoopbackListener&) = delete;

    int fd() const { return fd_; }
    std::uint16_t port() const { return ntohs(address_.sin_port); }
    // The address in dotted form, "127.0.0.1".
    std::string host_text() const {
        char text[INET_ADDRSTRLEN] = {};
        ::inet_ntop(AF_INET, &address_.sin_addr, text, sizeof text);
        return text;
    }
    // Where a client connects to.
    const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t address_size() const { return sizeof address_; }
    // Hands the socket over: the caller closes it.
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
    sockaddr_in address_{};
};

}  // namespace quillfern::testing
