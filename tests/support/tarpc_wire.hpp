// A client of the binary RPC socket, written for the tests on its own from the wire
// format (it shares no code with the server): length-delimited frames, bincode's
// variable-length integers, texts and options, the client's Request and Cancel messages,
// and a reader of the server's Response frames.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "test_process.hpp"

namespace quillfern::testing::tarpc_wire {

using Bytes = std::string;

// ---- Values ------------------------------------------------------------------------------

inline Bytes uint_le(std::uint64_t v, int width) {
    Bytes out;
    for (int i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    return out;
}

// Shortest form: one byte up to 250, else 251/252/253 and 2/4/8 bytes little-endian.
inline Bytes varint(std::uint64_t v) {
    if (v <= 250) return Bytes(1, static_cast<char>(v));
    if (v <= 0xffff) return "\xfb" + uint_le(v, 2);
    if (v <= 0xffffffffu) return "\xfc" + uint_le(v, 4);
    return "\xfd" + uint_le(v, 8);
}

inline Bytes text(std::string_view s) { return varint(s.size()) + Bytes(s); }
inline Bytes opt_text(const std::optional<std::string>& s) { return s ? "\x01" + text(*s) : Bytes(1, '\0'); }

inline Bytes frame(std::string_view payload) {
    const auto n = static_cast<std::uint32_t>(payload.size());
    Bytes out;
    out += static_cast<char>(n >> 24);
    out += static_cast<char>((n >> 16) & 0xff);
    out += static_cast<char>((n >> 8) & 0xff);
    out += static_cast<char>(n & 0xff);
    return out + Bytes(payload);
}

// ---- Client messages ------------------------------------------------------------------------

// The service request: its variant index, then its fields.
namespace call {
inline Bytes health_liveness() { return varint(0); }
inline Bytes health_readiness() { return varint(1); }
inline Bytes health_check() { return varint(2); }
inline Bytes capabilities_list() { return varint(3); }
inline Bytes gossip_inject(std::string_view topic, std::string_view key, std::string_view payload) {
    return varint(4) + text(topic) + text(key) + text(payload);
}
inline Bytes gossip_query(std::string_view topic, std::optional<std::string> prefix) {
    return varint(5) + text(topic) + opt_text(prefix);
}
inline Bytes gossip_status() { return varint(6); }
inline Bytes gossip_peers() { return varint(7); }
inline Bytes gossip_subscribe(std::string_view topic, std::optional<std::string> prefix) {
    return varint(8) + text(topic) + opt_text(prefix);
}
}  // namespace call

// Trace id bytes 00 01 .. 0f (least significant first): "f0e0d0c0b0a09080706050403020100".
inline std::array<std::uint8_t, 16> counting_trace_id() {
    std::array<std::uint8_t, 16> id{};
    for (std::uint8_t i = 0; i < 16; ++i) id[i] = i;
    return id;
}

struct RequestOptions {
    std::uint64_t deadline_seconds = 10;
    std::uint64_t deadline_nanos = 0;
    std::array<std::uint8_t, 16> trace_id = counting_trace_id();
    std::uint64_t span_id = 300;
    std::uint8_t sampling = 0;
};

inline Bytes trace_context(const std::array<std::uint8_t, 16>& trace_id, std::uint64_t span_id, std::uint8_t sampling) {
    return Bytes(reinterpret_cast<const char*>(trace_id.data()), trace_id.size()) + varint(span_id) + varint(sampling);
}

// ClientMessage::Request (index 0): deadline, trace context, id, the service request.
inline Bytes request_payload(std::uint64_t id, const Bytes& service_request, const RequestOptions& o = {}) {
    return varint(0) + varint(o.deadline_seconds) + varint(o.deadline_nanos) +
           trace_context(o.trace_id, o.span_id, o.sampling) + varint(id) + service_request;
}
inline Bytes request(std::uint64_t id, const Bytes& service_request, const RequestOptions& o = {}) {
    return frame(request_payload(id, service_request, o));
}

// ClientMessage::Cancel (index 1): trace context, then the id to cancel.
inline Bytes cancel(std::uint64_t id, const RequestOptions& o = {}) {
    return frame(varint(1) + trace_context(o.trace_id, o.span_id, o.sampling) + varint(id));
}

// ---- Server responses --------------------------------------------------------------------------

// The frame of a successful response whose reply is a text (the five gossip operations).
inline Bytes text_reply(std::uint64_t id, std::uint32_t variant, std::string_view json) {
    return frame(varint(id) + varint(0) + varint(variant) + text(json));
}
inline Bytes bool_reply(std::uint64_t id, std::uint32_t variant, bool value) {
    return frame(varint(id) + varint(0) + varint(variant) + Bytes(1, value ? '\1' : '\0'));
}

// A reader of bincode values out of one payload.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t uint() {
        const auto first = static_cast<std::uint8_t>(take(1)[0]);
        int width = first == 251 ? 2 : first == 252 ? 4 : first == 253 ? 8 : 0;
        if (first > 253) throw std::runtime_error("bad integer");
        if (width == 0) return first;
        std::uint64_t v = 0;
        std::string_view b = take(static_cast<std::size_t>(width));
        for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(b[static_cast<std::size_t>(i)]);
        return v;
    }
    std::string text() { return std::string(take(uint())); }
    bool boolean() { return take(1)[0] != 0; }
    bool done() const { return bytes_.empty(); }

private:
    std::string_view take(std::size_t n) {
        if (n > bytes_.size()) throw std::runtime_error("payload too short");
        std::string_view head = bytes_.substr(0, n);
        bytes_.remove_prefix(n);
        return head;
    }
    std::string_view bytes_;
};

// One Response: its request id, its result tag and service variant, and the rest.
struct Response {
    std::uint64_t id = 0;
    std::uint64_t tag = 0;
    std::uint64_t variant = 0;
    std::string body;  // the variant's encoded payload
    Bytes frame;       // the whole frame as received
};

inline Response parse_response(const Bytes& whole_frame) {
    Reader r(std::string_view(whole_frame).substr(4));
    Response response;
    response.id = r.uint();
    response.tag = r.uint();
    response.variant = r.uint();
    const std::size_t head =
        4 + varint(response.id).size() + varint(response.tag).size() + varint(response.variant).size();
    response.body = whole_frame.substr(head);
    response.frame = whole_frame;
    return response;
}

// A blocking client of the binary socket, reading whole frames with a time limit.
class TarpcClient {
public:
    explicit TarpcClient(const std::string& path) : client_(Client::unix_socket(path)) {}

    void send(std::string_view bytes) { client_.send(bytes); }
    void shutdown_write() { client_.shutdown_write(); }

    // The next whole frame; none at the end of the stream or when the time ran out.
    std::optional<Bytes> read_frame(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        for (;;) {
            if (pending_.size() >= 4) {
                const std::size_t n = (std::size_t{static_cast<std::uint8_t>(pending_[0])} << 24) |
                                      (std::size_t{static_cast<std::uint8_t>(pending_[1])} << 16) |
                                      (std::size_t{static_cast<std::uint8_t>(pending_[2])} << 8) |
                                      std::size_t{static_cast<std::uint8_t>(pending_[3])};
                if (pending_.size() >= 4 + n) {
                    Bytes whole = pending_.substr(0, 4 + n);
                    pending_.erase(0, 4 + n);
                    return whole;
                }
            }
            std::string more = client_.read_some(timeout);
            if (more.empty()) return std::nullopt;
            pending_ += more;
        }
    }
    std::optional<Response> read_response(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        auto whole = read_frame(timeout);
        if (!whole) return std::nullopt;
        return parse_response(*whole);
    }
    // Every frame until the server closes; the bytes of an unfinished frame stay in leftover().
    std::vector<Response> read_until_closed(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        std::vector<Response> all;
        while (auto r = read_response(timeout)) all.push_back(std::move(*r));
        return all;
    }
    const Bytes& leftover() const { return pending_; }
    // Whether the server has closed the stream (seen by a read).
    bool closed() const { return client_.at_end(); }

private:
    Client client_;
    Bytes pending_;
};

}  // namespace quillfern::testing::tarpc_wire
