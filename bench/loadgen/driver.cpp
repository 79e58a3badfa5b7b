// The load itself: a few threads, each driving its share of the connections with
// non-blocking sockets and epoll, P requests in flight on each connection.
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <latch>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include <fmt/format.h>

#include "loadgen.hpp"

namespace quillfern::loadgen {

namespace {

constexpr std::string_view kNegotiationLine = "PROTOCOLS: jsonrpc\n";
constexpr std::string_view kNegotiationAnswer = "PROTOCOL: jsonrpc\n";
constexpr std::string_view kJsonRpcSignal{"\xEC\x01", 2};
constexpr int kNegotiationTimeoutMs = 5000;
constexpr std::size_t kReadChunk = 64 * 1024;
constexpr int kMaxEvents = 64;
constexpr int kEpollTickMs = 100;

std::uint64_t now_ns() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

std::string os_error(std::string_view what, int error) {
    return fmt::format("{}: {} (os error {})", what, std::system_category().message(error), error);
}

// A file descriptor that closes itself.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            reset();
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }
    int get() const noexcept { return fd_; }
    void reset() noexcept {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_ = -1;
};

// State every thread shares: the request budget and the first failure.
class Shared {
public:
    Shared(const Options& options, const Protocol& protocol) : options(options), protocol(protocol) {}

    const Options& options;
    const Protocol& protocol;
    std::atomic<bool> time_is_up{false};

    // The sequence number of the next request to send, or none when the run has sent enough.
    std::optional<std::uint64_t> claim() noexcept {
        if (failed()) return std::nullopt;
        if (options.duration_seconds) {
            if (time_is_up.load(std::memory_order_relaxed)) return std::nullopt;
            return issued_.fetch_add(1, std::memory_order_relaxed);
        }
        const std::uint64_t sequence = issued_.fetch_add(1, std::memory_order_relaxed);
        if (sequence >= options.requests) return std::nullopt;
        return sequence;
    }

    void fail(std::string error) {
        std::lock_guard lock(mutex_);
        if (!failed_.exchange(true)) error_ = std::move(error);
    }
    bool failed() const noexcept { return failed_.load(std::memory_order_relaxed); }
    std::string error() const {
        std::lock_guard lock(mutex_);
        return error_;
    }

private:
    std::atomic<std::uint64_t> issued_{0};
    std::atomic<bool> failed_{false};
    mutable std::mutex mutex_;
    std::string error_;
};

struct Connection {
    std::size_t number = 0;  // for messages
    Fd fd;
    std::string out;
    std::size_t out_sent = 0;
    bool watching_writes = false;
    std::vector<char> in;
    std::size_t in_used = 0;
    std::size_t scanned = 0;
    std::vector<std::uint64_t> sent_at;  // ring of the send times of the requests in flight
    std::size_t oldest = 0;
    std::uint32_t in_flight = 0;
    std::uint64_t next_id = 1;
    bool exhausted = false;  // the run wants no more requests from it
    bool finished = false;
};

// A connected TCP socket to "host:port", or the error.
std::optional<std::string> connect_tcp(Fd& fd, const std::string& address) {
    const std::size_t colon = address.rfind(':');
    if (colon == std::string::npos) return fmt::format("not host:port: {}", address);
    const std::string host = address.substr(0, colon);
    const std::string port = address.substr(colon + 1);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        return fmt::format("resolve {}: {}", address, ::gai_strerror(rc));
    }
    std::optional<std::string> error = fmt::format("connect to {}: no address", address);
    for (addrinfo* a = found; a != nullptr; a = a->ai_next) {
        fd = Fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (fd.get() < 0) {
            error = os_error("socket", errno);
            continue;
        }
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) {
            const int on = 1;
            ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            error.reset();
            break;
        }
        error = os_error(fmt::format("connect to {}", address), errno);
    }
    ::freeaddrinfo(found);
    return error;
}

// Connects one connection (blocking) and opens it: the negotiation line on a Unix socket,
// the JSON-RPC signal on TCP; then makes it non-blocking.
std::optional<std::string> open_connection(Connection& connection, const Options& options, bool negotiate) {
    if (options.tcp_address) {
        if (auto error = connect_tcp(connection.fd, *options.tcp_address)) return error;
        if (negotiate && ::send(connection.fd.get(), kJsonRpcSignal.data(), kJsonRpcSignal.size(), MSG_NOSIGNAL) !=
                             static_cast<ssize_t>(kJsonRpcSignal.size())) {
            return os_error("send signal", errno);
        }
        negotiate = false;
    } else {
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        if (options.socket_path.size() >= sizeof address.sun_path) return "socket path too long";
        std::memcpy(address.sun_path, options.socket_path.data(), options.socket_path.size());

        connection.fd = Fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (connection.fd.get() < 0) return os_error("socket", errno);
        if (::connect(connection.fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
            return os_error(fmt::format("connect to {}", options.socket_path), errno);
        }
    }
    if (negotiate) {
        if (::send(connection.fd.get(), kNegotiationLine.data(), kNegotiationLine.size(), MSG_NOSIGNAL) !=
            static_cast<ssize_t>(kNegotiationLine.size())) {
            return os_error("send negotiation", errno);
        }
        std::string answer;
        while (answer.find('\n') == std::string::npos) {
            pollfd waiting{connection.fd.get(), POLLIN, 0};
            const int ready = ::poll(&waiting, 1, kNegotiationTimeoutMs);
            if (ready == 0) return std::string("no answer to the negotiation line");
            if (ready < 0) return os_error("poll", errno);
            char chunk[256];
            const ssize_t n = ::read(connection.fd.get(), chunk, sizeof chunk);
            if (n == 0) return std::string("connection closed during negotiation");
            if (n < 0) return os_error("read negotiation", errno);
            answer.append(chunk, static_cast<std::size_t>(n));
        }
        if (answer != kNegotiationAnswer) return fmt::format("wrong negotiation answer: {:?}", answer);
    }
    const int flags = ::fcntl(connection.fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(connection.fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        return os_error("fcntl", errno);
    }
    connection.sent_at.assign(options.pipeline, 0);
    connection.in.resize(2 * kReadChunk);
    return std::nullopt;
}

// One thread and its connections.
class Worker {
public:
    explicit Worker(Shared& shared) : shared_(shared), options_(shared.options), protocol_(shared.protocol) {}

    void add_connection(std::size_t number) {
        connections_.emplace_back();
        connections_.back().number = number;
    }

    // Connects every connection of this worker; false after a failure (reported to Shared).
    bool open_all() {
        epoll_ = Fd(::epoll_create1(EPOLL_CLOEXEC));
        if (epoll_.get() < 0) {
            shared_.fail(os_error("epoll_create1", errno));
            return false;
        }
        for (std::size_t i = 0; i < connections_.size(); ++i) {
            Connection& connection = connections_[i];
            if (auto error = open_connection(connection, options_, protocol_.negotiates())) {
                shared_.fail(fmt::format("connection {}: {}", connection.number, *error));
                return false;
            }
            epoll_event event{};
            event.events = EPOLLIN | EPOLLRDHUP;
            event.data.u64 = i;
            if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, connection.fd.get(), &event) != 0) {
                shared_.fail(os_error("epoll_ctl", errno));
                return false;
            }
        }
        return true;
    }

    void run() {
        active_ = connections_.size();
        for (Connection& connection : connections_) {
            top_up(connection);
            if (!flush(connection)) return;
            settle(connection);
        }
        last_progress_ns_ = now_ns();
        epoll_event events[kMaxEvents];
        while (active_ > 0 && !shared_.failed()) {
            const int ready = ::epoll_wait(epoll_.get(), events, kMaxEvents, kEpollTickMs);
            if (ready < 0) {
                if (errno == EINTR) continue;
                shared_.fail(os_error("epoll_wait", errno));
                return;
            }
            if (ready == 0) {
                for (Connection& connection : connections_) settle(connection);
                if (static_cast<double>(now_ns() - last_progress_ns_) > options_.reply_timeout_seconds * 1e9) {
                    shared_.fail(fmt::format("no reply for {} s", options_.reply_timeout_seconds));
                    return;
                }
                continue;
            }
            for (int i = 0; i < ready; ++i) {
                Connection& connection = connections_[events[i].data.u64];
                if (connection.finished) continue;
                if ((events[i].events & EPOLLOUT) != 0 && !flush(connection)) return;
                if ((events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLHUP | EPOLLERR)) != 0 && !receive(connection)) {
                    return;
                }
                top_up(connection);
                if (!flush(connection)) return;
                settle(connection);
            }
        }
    }

    std::uint64_t end_ns() const noexcept { return end_ns_; }
    std::uint64_t bytes_received() const noexcept { return bytes_received_; }
    std::uint64_t accepted() const noexcept { return accepted_; }
    std::vector<std::uint64_t>& latencies() noexcept { return latencies_; }

private:
    void top_up(Connection& connection) {
        if (connection.exhausted) return;
        const std::uint64_t stamp = now_ns();
        while (connection.in_flight < options_.pipeline) {
            auto sequence = shared_.claim();
            if (!sequence) {
                connection.exhausted = true;
                return;
            }
            protocol_.append_request(connection.out, connection.next_id, *sequence % options_.keyspace, *sequence,
                                     connection.number);
            connection.sent_at[(connection.oldest + connection.in_flight) % options_.pipeline] = stamp;
            ++connection.in_flight;
            ++connection.next_id;
        }
    }

    // Marks a connection finished once it has nothing in flight and nothing more to send.
    void settle(Connection& connection) {
        if (connection.finished) return;
        if (!connection.exhausted && shared_.options.duration_seconds && shared_.time_is_up) {
            connection.exhausted = true;
        }
        if (connection.exhausted && connection.in_flight == 0 && connection.out.empty()) {
            connection.finished = true;
            end_ns_ = std::max(end_ns_, now_ns());
            --active_;
        }
    }

    bool watch_writes(Connection& connection, bool on) {
        if (connection.watching_writes == on) return true;
        epoll_event event{};
        event.events = EPOLLIN | EPOLLRDHUP | (on ? EPOLLOUT : 0u);
        event.data.u64 = static_cast<std::uint64_t>(&connection - connections_.data());
        if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, connection.fd.get(), &event) != 0) {
            shared_.fail(os_error("epoll_ctl", errno));
            return false;
        }
        connection.watching_writes = on;
        return true;
    }

    bool flush(Connection& connection) {
        while (connection.out_sent < connection.out.size()) {
            const ssize_t n = ::send(connection.fd.get(), connection.out.data() + connection.out_sent,
                                     connection.out.size() - connection.out_sent, MSG_NOSIGNAL);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return watch_writes(connection, true);
                shared_.fail(os_error(fmt::format("connection {}: send", connection.number), errno));
                return false;
            }
            connection.out_sent += static_cast<std::size_t>(n);
        }
        connection.out.clear();
        connection.out_sent = 0;
        return watch_writes(connection, false);
    }

    bool receive(Connection& connection) {
        for (;;) {
            if (connection.in.size() - connection.in_used < kReadChunk) {
                connection.in.resize(std::max(connection.in.size() * 2, connection.in_used + kReadChunk));
            }
            const ssize_t n = ::read(connection.fd.get(), connection.in.data() + connection.in_used,
                                     connection.in.size() - connection.in_used);
            if (n < 0) {
                if (errno == EINTR) continue;
                if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
                shared_.fail(os_error(fmt::format("connection {}: read", connection.number), errno));
                return false;
            }
            if (n == 0) {
                shared_.fail(fmt::format("connection {}: closed by the server with {} requests in flight",
                                         connection.number, connection.in_flight));
                return false;
            }
            connection.in_used += static_cast<std::size_t>(n);
            bytes_received_ += static_cast<std::uint64_t>(n);
            if (!take_replies(connection)) return false;
        }
    }

    bool take_replies(Connection& connection) {
        const std::uint64_t stamp = now_ns();
        std::size_t consumed = 0;
        for (;;) {
            const std::string_view unread(connection.in.data() + consumed, connection.in_used - consumed);
            const std::size_t length = protocol_.complete_reply(unread, connection.scanned);
            if (length == 0) break;
            const std::string_view reply = unread.substr(0, length);
            if (connection.in_flight == 0) {
                shared_.fail(
                    fmt::format("connection {}: a reply to no request: {:?}", connection.number, reply.substr(0, 200)));
                return false;
            }
            const std::uint64_t id = connection.next_id - connection.in_flight;
            if (auto error = protocol_.check_reply(reply, id)) {
                shared_.fail(fmt::format("connection {}: {}", connection.number, *error));
                return false;
            }
            accepted_ += protocol_.accepted_in(reply);
            latencies_.push_back(stamp - connection.sent_at[connection.oldest]);
            connection.oldest = (connection.oldest + 1) % options_.pipeline;
            --connection.in_flight;
            consumed += length;
            last_progress_ns_ = stamp;
        }
        if (consumed > 0) {
            std::memmove(connection.in.data(), connection.in.data() + consumed, connection.in_used - consumed);
            connection.in_used -= consumed;
        }
        return true;
    }

    Shared& shared_;
    const Options& options_;
    const Protocol& protocol_;
    std::vector<Connection> connections_;
    Fd epoll_;
    std::size_t active_ = 0;
    std::uint64_t last_progress_ns_ = 0;
    std::uint64_t end_ns_ = 0;
    std::uint64_t bytes_received_ = 0;
    std::uint64_t accepted_ = 0;
    std::vector<std::uint64_t> latencies_;
};

double percentile_us(std::vector<std::uint64_t>& values, double fraction) {
    if (values.empty()) return 0;
    auto rank = static_cast<std::size_t>(std::ceil(fraction * static_cast<double>(values.size())));
    rank = std::clamp<std::size_t>(rank, 1, values.size()) - 1;
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
    return static_cast<double>(values[rank]) / 1000.0;
}

}  // namespace

RunResult run_load(const Options& options) {
    const Protocol protocol(options);
    Shared shared(options, protocol);
    const std::uint32_t thread_count = std::max<std::uint32_t>(1, std::min(options.threads, options.connections));

    std::vector<std::unique_ptr<Worker>> workers;
    for (std::uint32_t t = 0; t < thread_count; ++t) workers.push_back(std::make_unique<Worker>(shared));
    for (std::uint32_t c = 0; c < options.connections; ++c) workers[c % thread_count]->add_connection(c);
    if (!options.duration_seconds) {
        for (auto& worker : workers) {
            worker->latencies().reserve(static_cast<std::size_t>(options.requests / thread_count + 1));
        }
    }

    std::latch connected(static_cast<std::ptrdiff_t>(thread_count) + 1);
    std::latch go(1);
    std::vector<std::thread> threads;
    for (auto& worker : workers) {
        threads.emplace_back([&, w = worker.get()] {
            const bool opened = w->open_all();
            connected.count_down();
            go.wait();
            if (opened && !shared.failed()) w->run();
        });
    }
    connected.arrive_and_wait();
    const std::uint64_t start_ns = now_ns();
    go.count_down();
    if (options.duration_seconds && !shared.failed()) {
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(*options.duration_seconds);
        while (std::chrono::steady_clock::now() < until && !shared.failed()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        shared.time_is_up = true;
    }
    for (std::thread& thread : threads) thread.join();

    if (shared.failed()) return RunResult{std::nullopt, shared.error()};

    RunSummary summary;
    std::uint64_t end_ns = start_ns;
    std::vector<std::uint64_t> latencies;
    for (auto& worker : workers) {
        end_ns = std::max(end_ns, worker->end_ns());
        summary.bytes_received += worker->bytes_received();
        summary.accepted += worker->accepted();
        latencies.insert(latencies.end(), worker->latencies().begin(), worker->latencies().end());
        worker->latencies().clear();
        worker->latencies().shrink_to_fit();
    }
    summary.requests = latencies.size();
    summary.seconds = static_cast<double>(end_ns - start_ns) / 1e9;
    summary.p50_us = percentile_us(latencies, 0.50);
    summary.p99_us = percentile_us(latencies, 0.99);
    summary.p999_us = percentile_us(latencies, 0.999);
    return RunResult{summary, {}};
}

std::string summary_line(const Options& options, std::uint32_t threads_used, const RunSummary& summary) {
    const double seconds = summary.seconds > 0 ? summary.seconds : 1e-9;
    const bool sends_payload = options.mode != Mode::Query && options.mode != Mode::Liveness;
    std::string size_field = sends_payload ? fmt::format(" size={}", options.payload_size) : std::string();
    std::string batch_fields;
    if (options.mode == Mode::Spread || options.mode == Mode::RespMset) {
        const double entries = static_cast<double>(summary.requests) * options.batch;
        batch_fields = fmt::format(" batch={} entries_per_s={:.0f}", options.batch, entries / seconds);
        if (options.mode == Mode::Spread) {
            batch_fields += fmt::format(" accepted_pct={:.1f}",
                                        entries > 0 ? 100.0 * static_cast<double>(summary.accepted) / entries : 0.0);
        }
    }
    return fmt::format(
        "mode={} c={} P={} threads={}{}{} requests={} seconds={:.3f} rps={:.0f} p50_us={:.1f} p99_us={:.1f} "
        "p999_us={:.1f} rx_MBps={:.1f}",
        mode_name(options.mode), options.connections, options.pipeline, threads_used, size_field, batch_fields,
        summary.requests, summary.seconds, static_cast<double>(summary.requests) / seconds, summary.p50_us,
        summary.p99_us, summary.p999_us, static_cast<double>(summary.bytes_received) / seconds / 1e6);
}

}  // namespace quillfern::loadgen
