// A connected pair of Unix stream sockets for driving connection code in tests: the
// server side as a TransportStream, the client side for plain blocking calls.
#pragma once

#include <csignal>
#include <string>
#include <string_view>
#include <utility>

#include <asio/io_context.hpp>
#include <asio/local/connect_pair.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "quillfern/transport.hpp"
#include "run_task.hpp"

namespace quillfern::testing {

// Writes to a closed peer fail with EPIPE instead of ending the test process.
inline const bool kSigpipeIgnored = (std::signal(SIGPIPE, SIG_IGN), true);

class SocketPair {
public:
    SocketPair() {
        asio::local::stream_protocol::socket server_side(io);
        asio::local::connect_pair(client, server_side);
        server = transport::TransportStream(std::move(server_side));
    }

    // Client bytes; they fit the socket buffer, so this never blocks.
    void send(std::string_view bytes) { asio::write(client, asio::buffer(bytes.data(), bytes.size())); }
    // The client ends its stream: the server reads the end after the bytes sent.
    void end_input() { client.shutdown(asio::socket_base::shutdown_send); }
    // The client stops reading: the server's next write fails with a broken pipe.
    void stop_reading() { client.shutdown(asio::socket_base::shutdown_receive); }
    // The client closes with a byte of the server's left unread, so the server's next
    // read (once it has read what was sent) fails with a connection reset.
    void reset_by_client() {
        asio::write(server, asio::buffer("x", 1));
        client.close();
    }

    // Everything the server wrote, up to the end of its stream.
    std::string receive_all() {
        std::string received;
        std::error_code ec;
        asio::read(client, asio::dynamic_buffer(received), ec);
        return received;
    }

    // Runs one coroutine (and whatever it starts) to its end; its exception fails the test.
    void run(asio::awaitable<void> task) { run_task(io, std::move(task), RunUntil::Idle); }

    asio::io_context io;
    asio::local::stream_protocol::socket client{io};
    transport::TransportStream server{io};
};

}  // namespace quillfern::testing
