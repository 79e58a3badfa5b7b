// A connection handler that fails: its connection ends, the failure is reported on
// standard error, and the listener goes on accepting.
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <asio/buffer.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include "free_tcp_port.hpp"
#include "quillfern/accept.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern::server {
namespace {

asio::awaitable<void> fail_first_then_answer(transport::TransportStream stream, std::atomic<int>* served) {
    if (served->fetch_add(1) == 0) throw std::runtime_error("handler failed");
    co_await asio::async_write(stream, asio::buffer(std::string_view("ok\n")), asio::use_awaitable);
}

// The accept loop owns its listener, so that the runtime's teardown ends both together.
asio::awaitable<void> accept_on(transport::TransportListener listener, runtime::Runtime& rt,
                                ConnectionHandler handler) {
    co_await accept_connections(listener, rt, std::move(handler), retry_policy({"test::accept", "{}", {}}));
}

// What a client reads until the server closes (or 10 s pass).
std::string read_to_end(int fd) {
    std::string got;
    char buffer[64];
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 10'000) <= 0) return got + "<timed out>";
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) return got;
        got.append(buffer, static_cast<std::size_t>(n));
    }
}

TEST(FailingHandler, EndsItsConnectionOnlyAndIsReported) {
    ::testing::internal::CaptureStderr();
    std::atomic<int> served{0};
    {
        runtime::Runtime rt(1);
        asio::io_context& worker = rt.next_worker();
        transport::TransportListener listener(worker, asio::generic::stream_protocol::endpoint(asio::ip::tcp::endpoint(
                                                          asio::ip::address_v4::loopback(), 0)));
        listener.non_blocking(true);  // as every bound listener is
        const std::uint16_t port =
            ntohs(reinterpret_cast<const sockaddr_in*>(listener.local_endpoint().data())->sin_port);
        ConnectionHandler handler = [&served](transport::TransportStream stream) {
            return fail_first_then_answer(std::move(stream), &served);
        };
        asio::co_spawn(worker, accept_on(std::move(listener), rt, std::move(handler)), asio::detached);

        const int failed = quillfern::testing::connect_loopback(port);
        EXPECT_EQ(read_to_end(failed), "");
        ::close(failed);
        const int answered = quillfern::testing::connect_loopback(port);
        EXPECT_EQ(read_to_end(answered), "ok\n");
        ::close(answered);
    }
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "thread 'quillfern-work' panicked:\nhandler failed\n");
}

}  // namespace
}  // namespace quillfern::server
