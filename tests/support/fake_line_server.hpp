// Test support: a tiny server standing in for a sibling service (reedHorn, the quorvel
// API, thornKit) or a peer gate, on a real Unix socket or on TCP 127.0.0.1 port 0. It
// takes a request as its first line or as everything until the client ends its stream,
// records the exact bytes each connection sent and answers as the test sets it: with a
// reply (garbage and oversized ones included), one chosen by the request, late, never,
// only when the test lets it go, by closing at once, or by never reading at all. It counts
// the most connections its clients held open at once. It runs on threads of its own, so
// the code under test may run on any executor, or in another process.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "loopback_listener.hpp"

namespace quillfern::testing {

class FakeLineServer {
public:
    // What the server does with each connection.
    struct Behaviour {
        enum class Kind {
            Answer,       // read the request, wait `delay`, write `reply`
            CloseAtOnce,  // close without reading or writing
            NeverRead,    // keep the connection open, never read from it
        } kind = Kind::Answer;
        std::string reply;                   // may be empty (silent), garbage, without newline, huge
        std::chrono::milliseconds delay{0};  // before the reply
        bool close_after_reply = true;       // else: keep reading (and recording) until the client closes
        // The reply to the request (a line: the bytes through its newline); when set, it
        // stands in for `reply` (an empty one: no reply).
        std::function<std::string(std::string_view request)> reply_to = {};
        bool held = false;  // the reply waits until release() has let this connection go
        // What Answer reads as the request: through its first newline, or until the client
        // ends its stream (shuts down its sending side or closes).
        enum class Read { Line, ToEnd } read = Read::Line;
    };

    static Behaviour answer(std::string reply, bool close_after_reply = true) {
        return Behaviour{Behaviour::Kind::Answer, std::move(reply), std::chrono::milliseconds{0}, close_after_reply};
    }
    static Behaviour answer_late(std::string reply, std::chrono::milliseconds delay) {
        return Behaviour{Behaviour::Kind::Answer, std::move(reply), delay, true};
    }
    // Reads the request and keeps the connection open without a word.
    static Behaviour silent() { return Behaviour{Behaviour::Kind::Answer, {}, std::chrono::milliseconds{0}, false}; }
    static Behaviour close_at_once() { return Behaviour{Behaviour::Kind::CloseAtOnce, {}, {}, true}; }
    static Behaviour never_read() { return Behaviour{Behaviour::Kind::NeverRead, {}, {}, false}; }
    // Answers as `reply_to` says for each request, then reads until the client closes.
    static Behaviour route(std::function<std::string(std::string_view request)> reply_to) {
        Behaviour behaviour{Behaviour::Kind::Answer, {}, std::chrono::milliseconds{0}, false};
        behaviour.reply_to = std::move(reply_to);
        return behaviour;
    }
    // `behaviour`, its request read until the client ends its stream.
    static Behaviour reading_to_end(Behaviour behaviour) {
        behaviour.read = Behaviour::Read::ToEnd;
        return behaviour;
    }
    // Answers `reply` only once the test has released the connection.
    static Behaviour answer_when_released(std::string reply) {
        Behaviour behaviour = answer(std::move(reply));
        behaviour.held = true;
        return behaviour;
    }

    // On a Unix socket at `path` (which must not exist yet).
    static std::unique_ptr<FakeLineServer> on_unix_socket(const std::string& path, Behaviour behaviour) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (path.size() >= sizeof addr.sun_path) throw std::runtime_error("socket path too long: " + path);
        std::memcpy(addr.sun_path, path.data(), path.size());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd, 128) != 0) {
            ::close(fd);
            throw std::runtime_error("bind " + path + ": " + std::strerror(errno));
        }
        return std::unique_ptr<FakeLineServer>(new FakeLineServer(fd, path, 0, std::move(behaviour)));
    }

    // On TCP 127.0.0.1 (or another loopback `host`, in host byte order) with a port the
    // system picks.
    static std::unique_ptr<FakeLineServer> on_tcp_port(Behaviour behaviour, std::uint32_t host = INADDR_LOOPBACK) {
        LoopbackListener listener(128, host);
        const std::uint16_t port = listener.port();
        auto server =
            std::unique_ptr<FakeLineServer>(new FakeLineServer(listener.release(), {}, port, std::move(behaviour)));
        server->host_ = listener.host_text();
        return server;
    }

    ~FakeLineServer() { stop(); }
    FakeLineServer(const FakeLineServer&) = delete;
    FakeLineServer& operator=(const FakeLineServer&) = delete;

    const std::string& path() const { return path_; }
    std::uint16_t port() const { return port_; }
    // "<host>:<port>" of a TCP server, "127.0.0.1:<port>" unless told another host.
    std::string address() const { return host_ + ":" + std::to_string(port_); }

    // Applies to connections accepted from now on.
    void set_behaviour(Behaviour behaviour) {
        std::lock_guard lock(mutex_);
        behaviour_ = std::move(behaviour);
    }

    // The bytes received on each connection so far, in the order of acceptance.
    std::vector<std::string> received() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> out;
        for (const auto& connection : connections_) out.push_back(connection->received);
        return out;
    }
    // The bytes received so far on the connection accepted `index`-th (from 0), which must
    // have been: one request without a copy of every other.
    std::string received_on(std::size_t index) const {
        std::lock_guard lock(mutex_);
        return connections_.at(index)->received;
    }
    std::size_t connections() const {
        std::lock_guard lock(mutex_);
        return connections_.size();
    }
    // The most connections open at once, as counted at each accept: the new one and those
    // accepted before that neither side has closed yet (a client's half-close counts as
    // closing). A client that closes one connection before it opens the next is never
    // counted twice.
    std::size_t peak_open() const {
        std::lock_guard lock(mutex_);
        return peak_open_;
    }

    // Runs on a connection's thread once its request has been read in full, before it is
    // answered.
    void on_request(std::function<void()> hook) {
        std::lock_guard lock(mutex_);
        on_request_ = std::move(hook);
    }

    // Lets the first `count` connections (in the order of acceptance) of a held
    // behaviour give their replies.
    void release(std::size_t count) {
        {
            std::lock_guard lock(mutex_);
            released_ = std::max(released_, count);
        }
        changed_.notify_all();
    }

    // Waits until `count` connections have sent a whole request (or ended before one).
    bool wait_for_requests(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return requests_done_ >= count; });
    }
    // Waits until `count` connections have been accepted.
    bool wait_for_connections(std::size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return connections_.size() >= count; });
    }
    // Waits until every accepted connection has been closed by its client (or dropped here).
    bool wait_for_all_closed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            for (const auto& connection : connections_)
                if (!connection->ended) return false;
            return true;
        });
    }

    // Closes the listener and every connection; joins the threads. Also run at destruction.
    void stop() {
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return;
            stopping_ = true;
            for (auto& connection : connections_) ::shutdown(connection->fd, SHUT_RDWR);
        }
        changed_.notify_all();
        char wake = 0;
        (void)!::write(wake_pipe_[1], &wake, 1);
        if (acceptor_.joinable()) acceptor_.join();
        for (auto& connection : connections_) {
            if (connection->thread.joinable()) connection->thread.join();
            ::close(connection->fd);
        }
        ::close(listen_fd_);
        ::close(wake_pipe_[0]);
        ::close(wake_pipe_[1]);
        if (!path_.empty()) ::unlink(path_.c_str());
    }

private:
    struct Connection {
        int fd = -1;
        std::size_t index = 0;  // in the order of acceptance
        std::string received;
        bool ended = false;  // the client closed its side, or the server dropped the connection
        std::thread thread;
    };

    FakeLineServer(int listen_fd, std::string path, std::uint16_t port, Behaviour behaviour)
        : listen_fd_(listen_fd), path_(std::move(path)), port_(port), behaviour_(std::move(behaviour)) {
        std::signal(SIGPIPE, SIG_IGN);
        if (::pipe2(wake_pipe_, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        acceptor_ = std::thread([this] { accept_loop(); });
    }

    void accept_loop() {
        for (;;) {
            pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {wake_pipe_[0], POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0) continue;
            if (fds[1].revents != 0) return;
            int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            std::lock_guard lock(mutex_);
            if (stopping_) {
                ::close(fd);
                return;
            }
            peak_open_ = std::max(peak_open_, open_connections() + 1);
            auto connection = std::make_unique<Connection>();
            connection->fd = fd;
            connection->index = connections_.size();
            Connection* raw = connection.get();
            Behaviour behaviour = behaviour_;
            connection->thread = std::thread([this, raw, behaviour] { serve(*raw, behaviour); });
            connections_.push_back(std::move(connection));
            changed_.notify_all();
        }
    }

    // Under the lock: the connections accepted so far that are still open at both ends.
    std::size_t open_connections() const {
        std::size_t open = 0;
        for (const auto& connection : connections_) {
            if (connection->ended) continue;
            pollfd p{connection->fd, POLLRDHUP, 0};
            if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0) continue;
            ++open;
        }
        return open;
    }

    // Reads once into the record; false at the end of the stream or an error.
    bool read_some(Connection& connection) {
        char buffer[65536];
        ssize_t n = ::recv(connection.fd, buffer, sizeof buffer, 0);
        std::lock_guard lock(mutex_);
        if (n <= 0) return false;
        connection.received.append(buffer, static_cast<std::size_t>(n));
        return true;
    }

    void finish_request() {
        std::lock_guard lock(mutex_);
        ++requests_done_;
        changed_.notify_all();
    }
    void mark_ended(Connection& connection) {
        std::lock_guard lock(mutex_);
        connection.ended = true;
        changed_.notify_all();
    }

    void serve(Connection& connection, const Behaviour& behaviour) {
        using Kind = Behaviour::Kind;
        if (behaviour.kind == Kind::CloseAtOnce) {
            ::shutdown(connection.fd, SHUT_RDWR);
            finish_request();
            mark_ended(connection);
            return;
        }
        if (behaviour.kind == Kind::NeverRead) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_; });
            connection.ended = true;
            return;
        }
        bool open = true;
        if (behaviour.read == Behaviour::Read::ToEnd) {
            while (read_some(connection)) {}  // the end of the client's stream ends the request; a reply may follow
        } else {
            std::size_t searched = 0;  // bytes already known to hold no newline: a long line is scanned once
            for (;;) {
                {
                    std::lock_guard lock(mutex_);
                    if (connection.received.find('\n', searched) != std::string::npos) break;
                    searched = connection.received.size();
                }
                if (!read_some(connection)) {
                    open = false;
                    break;
                }
            }
        }
        finish_request();
        if (open) {
            std::function<void()> hook;
            {
                std::lock_guard lock(mutex_);
                hook = on_request_;
            }
            if (hook) hook();
        }
        if (open && behaviour.delay.count() > 0) {
            std::unique_lock lock(mutex_);
            if (changed_.wait_for(lock, behaviour.delay, [&] { return stopping_; })) open = false;
        }
        if (open && behaviour.held) {
            std::unique_lock lock(mutex_);
            changed_.wait(lock, [&] { return stopping_ || released_ > connection.index; });
            if (stopping_) open = false;
        }
        std::string reply = behaviour.reply;
        if (open && behaviour.reply_to) {
            std::string request;
            {
                std::lock_guard lock(mutex_);
                request = behaviour.read == Behaviour::Read::ToEnd
                              ? connection.received
                              : connection.received.substr(0, connection.received.find('\n') + 1);
            }
            reply = behaviour.reply_to(request);
        }
        if (open && !reply.empty()) {
            std::string_view rest = reply;
            while (!rest.empty()) {
                ssize_t n = ::send(connection.fd, rest.data(), rest.size(), MSG_NOSIGNAL);
                if (n <= 0) break;
                rest.remove_prefix(static_cast<std::size_t>(n));
            }
        }
        if (open && behaviour.close_after_reply) {
            ::shutdown(connection.fd, SHUT_RDWR);
        } else if (open) {
            while (read_some(connection)) {}
        }
        mark_ended(connection);
    }

    int listen_fd_;
    int wake_pipe_[2] = {-1, -1};
    std::string path_;
    std::uint16_t port_;
    std::string host_ = "127.0.0.1";
    std::thread acceptor_;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    Behaviour behaviour_;
    std::vector<std::unique_ptr<Connection>> connections_;
    std::size_t requests_done_ = 0;
    std::size_t peak_open_ = 0;
    std::size_t released_ = 0;
    bool stopping_ = false;
    std::function<void()> on_request_;
};

}  // namespace quillfern::testing
