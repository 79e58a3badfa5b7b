// Test support: a temporary directory, the real server binary as a child process with
// its output captured, and a small blocking socket client.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "temp_dir.hpp"

namespace quillfern::testing {

// Waits until a file exists at `path` (its directory must exist), using inotify.
inline bool wait_for_file(const std::string& path, std::chrono::milliseconds timeout) {
    const std::string dir = std::filesystem::path(path).parent_path().string();
    int fd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (fd < 0) return false;
    ::inotify_add_watch(fd, dir.c_str(), IN_CREATE | IN_MOVED_TO);
    auto deadline = std::chrono::steady_clock::now() + timeout;
    struct stat st {};
    bool found = false;
    while (!(found = ::stat(path.c_str(), &st) == 0)) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) > 0) {
            char buf[4096];
            while (::read(fd, buf, sizeof buf) > 0) {}
        }
    }
    ::close(fd);
    return found;
}

// The server binary, run with exactly the given arguments and environment.
class ServerProcess {
public:
    struct Options {
        std::vector<std::string> args;
        std::map<std::string, std::string> env;
        bool close_stdin = false;
        bool close_stdout = false;
        // Resource limits (soft and hard) set in the child before it starts the binary.
        std::vector<std::pair<int, rlim_t>> limits = {};
    };

    explicit ServerProcess(Options options) { start(std::move(options)); }
    ~ServerProcess() {
        if (pid_ > 0 && !status_) {
            ::kill(pid_, SIGKILL);
            wait_exit(std::chrono::seconds(10));
        }
        if (reader_.joinable()) reader_.join();
    }
    ServerProcess(const ServerProcess&) = delete;
    ServerProcess& operator=(const ServerProcess&) = delete;

    // Waits until standard output holds `needle`; false when the process ended or the time ran out first.
    bool wait_for_output(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return out_.find(needle) != std::string::npos || (out_closed_ && err_closed_);
        }) && out_.find(needle) != std::string::npos;
    }
    bool wait_for_stderr(std::string_view needle, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] {
            return err_.find(needle) != std::string::npos || (out_closed_ && err_closed_);
        }) && err_.find(needle) != std::string::npos;
    }

    std::string out() const {
        std::lock_guard lock(mutex_);
        return out_;
    }
    std::string err() const {
        std::lock_guard lock(mutex_);
        return err_;
    }
    // Standard output's lines with the 27-character timestamp and its blank cut off.
    std::vector<std::string> events() const {
        std::vector<std::string> lines;
        std::string text = out();
        std::size_t pos = 0;
        while (pos < text.size()) {
            std::size_t nl = text.find('\n', pos);
            if (nl == std::string::npos) nl = text.size();
            std::string line = text.substr(pos, nl - pos);
            lines.push_back(line.size() > 28 ? line.substr(28) : line);
            pos = nl + 1;
        }
        return lines;
    }

    void send_signal(int sig) { ::kill(pid_, sig); }
    pid_t pid() const { return pid_; }

    // The exit status, or 128 + the signal that ended it; none when the time ran out.
    // The child's end is seen as its output pipes closing, then reaped.
    std::optional<int> wait_exit(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        if (status_) return status_;
        {
            std::unique_lock lock(mutex_);
            if (!changed_.wait_for(lock, timeout, [&] { return out_closed_ && err_closed_; })) return std::nullopt;
        }
        int raw = 0;
        if (::waitpid(pid_, &raw, 0) != pid_) return std::nullopt;
        status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        if (reader_.joinable()) reader_.join();
        return status_;
    }

private:
    void start(Options options) {
        int out_pipe[2], err_pipe[2];
        if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
        std::vector<std::string> argv_store{QUILLFERN_BINARY};
        argv_store.insert(argv_store.end(), options.args.begin(), options.args.end());
        std::vector<std::string> env_store;
        for (const auto& [k, v] : options.env) env_store.push_back(k + "=" + v);
        std::vector<char*> argv, envp;
        for (auto& a : argv_store) argv.push_back(a.data());
        argv.push_back(nullptr);
        for (auto& e : env_store) envp.push_back(e.data());
        envp.push_back(nullptr);

        pid_ = ::fork();
        if (pid_ < 0) throw std::runtime_error("fork");
        if (pid_ == 0) {
            if (options.close_stdin) ::close(0);
            if (options.close_stdout) {
                ::close(1);
            } else {
                ::dup2(out_pipe[1], 1);
            }
            ::dup2(err_pipe[1], 2);
            for (const auto& [resource, value] : options.limits) {
                const rlimit limit{value, value};
                if (::setrlimit(resource, &limit) != 0) ::_exit(126);
            }
            ::execve(argv[0], argv.data(), envp.data());
            ::_exit(127);
        }
        ::close(out_pipe[1]);
        ::close(err_pipe[1]);
        reader_ = std::thread([this, out = out_pipe[0], err = err_pipe[0]] { read_pipes(out, err); });
    }

    void read_pipes(int out, int err) {
        pollfd fds[2] = {{out, POLLIN, 0}, {err, POLLIN, 0}};
        int open_count = 2;
        char buf[4096];
        while (open_count > 0) {
            if (::poll(fds, 2, -1) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            for (int i = 0; i < 2; ++i) {
                if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
                std::lock_guard lock(mutex_);
                if (n > 0) {
                    (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
                } else {
                    ::close(fds[i].fd);
                    fds[i].fd = -1;
                    (i == 0 ? out_closed_ : err_closed_) = true;
                    --open_count;
                }
                changed_.notify_all();
            }
        }
    }

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_, err_;
    bool out_closed_ = false, err_closed_ = false;
};

// A blocking client socket with a time limit on every read.
class Client {
public:
    static Client unix_socket(const std::string& path) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd);
            throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
        }
        return Client(fd);
    }
    static Client adopt(int fd) { return Client(fd); }
    Client(Client&& other) noexcept
        : fd_(std::exchange(other.fd_, -1)), pending_(std::move(other.pending_)), at_end_(other.at_end_) {}
    ~Client() {
        if (fd_ >= 0) ::close(fd_);
    }

    void send(std::string_view bytes) {
        while (!bytes.empty()) {
            ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
            if (n <= 0) throw std::runtime_error("send failed");
            bytes.remove_prefix(static_cast<std::size_t>(n));
        }
    }
    void shutdown_write() { ::shutdown(fd_, SHUT_WR); }

    // One line without its newline; none at the end of the stream or when the time ran out.
    std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        for (;;) {
            if (auto nl = pending_.find('\n'); nl != std::string::npos) {
                std::string line = pending_.substr(0, nl);
                pending_.erase(0, nl + 1);
                return line;
            }
            if (!fill(timeout)) return std::nullopt;
        }
    }
    // Everything until the peer closes.
    std::string read_to_end(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        while (fill(timeout)) {}
        return std::exchange(pending_, {});
    }

    // Whatever bytes arrive next; empty at the end of the stream (then at_end()) or when
    // the time ran out.
    std::string read_some(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
        if (pending_.empty()) fill(timeout);
        return std::exchange(pending_, {});
    }
    bool at_end() const { return at_end_; }

private:
    explicit Client(int fd) : fd_(fd) {}
    bool fill(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return false;
        char buf[65536];
        ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n == 0) at_end_ = true;
        if (n <= 0) return false;
        pending_.append(buf, static_cast<std::size_t>(n));
        return true;
    }

    int fd_ = -1;
    std::string pending_;
    bool at_end_ = false;
};

}  // namespace quillfern::testing
