// A connection from its first byte to its close, over a socket pair: the input's first
// byte picks the road (even: the main socket's protocol negotiation, odd: the first-byte
// signal handling), the rest is what the client sends before it ends its stream. The
// output is checked against what the input calls for: the negotiation answer or probe
// reply, then exactly one well-formed reply line per request line, in order, up to the
// first line that is not UTF-8.
#include <sys/socket.h>

#include <array>
#include <vector>

#include <asio/buffer.hpp>
#include <asio/generic/stream_protocol.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "fuzz_target.hpp"
#include "quillfern/connection.hpp"
#include "quillfern/no_throw.hpp"
#include "quillfern/protocol_negotiation.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/text.hpp"

namespace quillfern::fuzz {

namespace {

using transport::TransportStream;

struct Exchange {
    std::string head;                   // the negotiation answer or the probe reply
    bool closes_after_head = false;     // nothing follows it (tarpc, probe, dropped)
    std::vector<std::string> requests;  // trimmed lines the line loop answers, in order
};

// The requests the line loop answers in `sent`: every line through its newline and the
// bytes after the last one, up to the first that is not UTF-8.
std::vector<std::string> answered_lines(std::string_view sent) {
    std::vector<std::string> lines;
    while (!sent.empty()) {
        const std::size_t end = sent.find('\n');
        const std::string_view line = sent.substr(0, end == std::string_view::npos ? sent.size() : end + 1);
        sent.remove_prefix(line.size());
        if (!text::is_valid_utf8(line)) break;
        lines.emplace_back(text::trim(line));
    }
    return lines;
}

Exchange expect_negotiated(std::string_view sent) {
    Exchange expected;
    const std::size_t end = sent.find('\n');
    const std::string_view first = sent.substr(0, end == std::string_view::npos ? sent.size() : end + 1);
    const std::string_view after = sent.substr(first.size());
    if (text::is_valid_utf8(first)) {
        constexpr std::string_view kOffer = "PROTOCOLS: ";
        std::string_view offer = text::trim(first);
        if (offer.starts_with(kOffer)) {
            offer.remove_prefix(kOffer.size());
            for (;;) {
                const std::size_t comma = offer.find(',');
                if (auto protocol = IpcProtocol::parse(offer.substr(0, comma))) {
                    expected.head = "PROTOCOL: " + std::string(protocol->text()) + "\n";
                    expected.closes_after_head = *protocol == IpcProtocol::Tarpc;
                    break;
                }
                if (comma == std::string_view::npos) break;
                offer.remove_prefix(comma + 1);
            }
        }
    }
    if (!expected.closes_after_head) expected.requests = answered_lines(after);
    return expected;
}

Exchange expect_signalled(std::string_view sent) {
    Exchange expected;
    expected.closes_after_head = true;
    if (sent.empty()) return expected;
    const auto first = static_cast<std::uint8_t>(sent[0]);
    std::size_t skip = 0;
    if (first == 0xEC) {
        if (sent.size() < 2) return expected;
        if (sent[1] == '\x00') {
            expected.head = server::kProbeReply;
            return expected;
        }
        if (sent[1] != '\x01') return expected;
        skip = 2;
    } else if (first == 0xED || first == 0xEE) {
        skip = first == 0xED ? 5 : 7;
        if (sent.size() < skip) return expected;
    } else if (first >= 0x20 && first <= 0x7E) {
        if (sent.size() == 1) return expected;  // the lone first character gets no reply
    } else {
        return expected;
    }
    expected.closes_after_head = false;
    expected.requests = answered_lines(sent.substr(skip));
    return expected;
}

// Sends everything and ends the stream, while reading all the server writes.
asio::awaitable<void> send_all(TransportStream& client, std::string_view sent) {
    co_await asio::async_write(client, asio::buffer(sent.data(), sent.size()), kNoThrow);
    std::error_code ignored;
    client.shutdown(asio::socket_base::shutdown_send, ignored);
}

asio::awaitable<void> receive_all(TransportStream& client, std::string& received) {
    std::array<char, 65536> chunk;
    for (;;) {
        auto [ec, n] = co_await client.async_read_some(asio::buffer(chunk), kNoThrow);
        received.append(chunk.data(), n);
        if (ec) co_return;
    }
}

std::string converse(bool negotiated, std::string_view sent, const std::shared_ptr<gossip::GossipStore>& store) {
    int fds[2];
    require(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) == 0, "socketpair failed");
    asio::io_context io;
    const asio::generic::stream_protocol unix_stream(AF_UNIX, SOCK_STREAM);
    TransportStream server_side(io, unix_stream, fds[0]);
    TransportStream client_side(io, unix_stream, fds[1]);

    std::exception_ptr failure;
    auto record = [&](std::exception_ptr e) {
        if (e) failure = e;
    };
    if (negotiated) {
        asio::co_spawn(
            io, server::serve_negotiated(std::move(server_side), store, tarpc_server::handle_tarpc_connection), record);
    } else {
        asio::co_spawn(io, server::serve_signalled(std::move(server_side), store), record);
    }
    std::string received;
    asio::co_spawn(io, send_all(client_side, sent), record);
    asio::co_spawn(io, receive_all(client_side, received), record);
    io.run();
    if (failure) std::rethrow_exception(failure);
    return received;
}

}  // namespace

void connection(Bytes input) {
    prepare_process();
    if (input.empty()) return;
    const bool negotiated = (input[0] & 1) == 0;
    const std::string_view sent = as_text(input.subspan(1));
    const Exchange expected = negotiated ? expect_negotiated(sent) : expect_signalled(sent);

    auto store = make_store();
    const std::string received = converse(negotiated, sent, store);

    require(std::string_view(received).starts_with(expected.head), "answer or probe reply missing", received);
    std::string_view replies = std::string_view(received).substr(expected.head.size());
    if (expected.closes_after_head) {
        require(replies.empty(), "bytes after the connection should have closed", received);
        return;
    }
    for (const std::string& request : expected.requests) {
        const std::size_t end = replies.find('\n');
        require(end != std::string_view::npos, "a request line got no reply line", request);
        check_reply(request, replies.substr(0, end));
        replies.remove_prefix(end + 1);
    }
    require(replies.empty(), "more replies than request lines", replies);
    check_store(*store);
}

}  // namespace quillfern::fuzz
