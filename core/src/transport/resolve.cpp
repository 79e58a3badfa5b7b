// "host:port" text to socket addresses. Host names go to getaddrinfo on a small pool of
// blocking threads, so a slow resolver never stalls the io threads.
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/cancellation_type.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/thread_pool.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/text.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::transport {

namespace {

using LookupResult = Expected<std::vector<SocketAddress>, IoError>;

// Lives for the whole process: a lookup still running at exit must not be joined from a
// static destructor.
asio::thread_pool& blocking_pool() {
    static auto* pool = new asio::thread_pool(4);
    return *pool;
}

LookupResult lookup_host_blocking(const std::string& host, std::uint16_t port) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    int status = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (status == EAI_SYSTEM) return unexpected(IoError::from_errno());
    if (status != 0) {
        return unexpected(IoError(IoErrorKind::Other,
                                  std::string("failed to lookup address information: ") + ::gai_strerror(status)));
    }
    std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owned(found, &::freeaddrinfo);

    std::vector<SocketAddress> addresses;
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
        if (entry->ai_addr == nullptr) continue;
        if (entry->ai_family == AF_INET && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            sockaddr_in address{};
            std::memcpy(&address, entry->ai_addr, sizeof(address));
            address.sin_port = htons(port);
            addresses.emplace_back(&address, sizeof(address));
        } else if (entry->ai_family == AF_INET6 && entry->ai_addrlen >= sizeof(sockaddr_in6)) {
            sockaddr_in6 address{};
            std::memcpy(&address, entry->ai_addr, sizeof(address));
            address.sin6_port = htons(port);
            addresses.emplace_back(&address, sizeof(address));
        }
    }
    return addresses;
}

// Runs the look-up on the blocking pool and completes on the caller's executor. A
// cancellation completes at once with "operation canceled"; the late look-up result is
// then dropped.
template <class Handler>
class PendingLookup : public std::enable_shared_from_this<PendingLookup<Handler>> {
public:
    explicit PendingLookup(Handler handler)
        : work_(asio::make_work_guard(asio::get_associated_executor(handler))), handler_(std::move(handler)) {}

    void start(std::string host, std::uint16_t port) {
        auto slot = asio::get_associated_cancellation_slot(*handler_);
        if (slot.is_connected()) {
            slot.assign([weak = this->weak_from_this()](asio::cancellation_type type) {
                if (type == asio::cancellation_type::none) return;
                if (auto self = weak.lock()) {
                    self->complete(unexpected(IoError::from_os(ECANCELED)));
                }
            });
        }
        asio::post(blocking_pool(), [self = this->shared_from_this(), host = std::move(host), port] {
            self->complete(lookup_host_blocking(host, port));
        });
    }

private:
    // Called once from the pool and perhaps once from a cancellation; the first wins.
    void complete(LookupResult result) {
        std::optional<Handler> handler;
        {
            std::lock_guard lock(mutex_);
            if (!handler_) return;
            handler.emplace(std::move(*handler_));
            handler_.reset();
        }
        auto executor = work_.get_executor();
        asio::post(executor, [handler = std::move(*handler), result = std::move(result)]() mutable {
            auto slot = asio::get_associated_cancellation_slot(handler);
            if (slot.is_connected()) slot.clear();
            std::move(handler)(std::move(result));
        });
        work_.reset();
    }

    asio::executor_work_guard<asio::associated_executor_t<Handler>> work_;
    std::mutex mutex_;
    std::optional<Handler> handler_;
};

asio::awaitable<LookupResult> lookup_host(std::string host, std::uint16_t port) {
    return asio::async_initiate<const asio::use_awaitable_t<>, void(LookupResult)>(
        [](auto handler, std::string host_text, std::uint16_t host_port) {
            auto pending = std::make_shared<PendingLookup<decltype(handler)>>(std::move(handler));
            pending->start(std::move(host_text), host_port);
        },
        asio::use_awaitable, std::move(host), port);
}

}  // namespace

asio::awaitable<Expected<std::vector<SocketAddress>, IoError>> resolve(std::string host_port) {
    if (auto literal = parse_socket_address_literal(host_port)) {
        co_return std::vector<SocketAddress>{*literal};
    }
    auto colon = host_port.rfind(':');
    if (colon == std::string_view::npos) {
        co_return unexpected(IoError(IoErrorKind::InvalidInput, "invalid socket address"));
    }
    auto port = text::parse_u64(host_port.substr(colon + 1));
    if (!port || *port > 0xFFFF) {
        co_return unexpected(IoError(IoErrorKind::InvalidInput, "invalid port value"));
    }
    std::string host(host_port.substr(0, colon));
    if (host.find('\0') != std::string::npos) {
        co_return unexpected(IoError(IoErrorKind::InvalidInput, "file name contained an unexpected NUL byte"));
    }
    co_return co_await lookup_host(std::move(host), static_cast<std::uint16_t>(*port));
}

}  // namespace quillfern::transport
