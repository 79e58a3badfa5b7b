// The binary RPC socket's modes (tarpc-liveness, tarpc-inject) and redis-server's PING:
// request bytes and reply checks. A request is one length-delimited frame holding a
// bincode Request (deadline 10 s, a fixed trace context, the id, the call); its reply is a
// frame with the id, result tag 0 and the call's variant.
#include <fmt/format.h>

#include "loadgen.hpp"

namespace quillfern::loadgen::binary {

namespace {

void append_varint(std::string& out, std::uint64_t v) {
    auto le = [&](int width) {
        for (int i = 0; i < width; ++i) out += static_cast<char>((v >> (8 * i)) & 0xff);
    };
    if (v <= 250) {
        out += static_cast<char>(v);
    } else if (v <= 0xffff) {
        out += '\xfb';
        le(2);
    } else if (v <= 0xffffffffu) {
        out += '\xfc';
        le(4);
    } else {
        out += '\xfd';
        le(8);
    }
}

void append_text(std::string& out, std::string_view text) {
    append_varint(out, text.size());
    out += text;
}

// Request, deadline 10 s, trace id 0, span id 1, sampled.
constexpr std::string_view kRequestHead{
    "\x00\x0a\x00"
    "\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0"
    "\x01\x00",
    21};

std::optional<std::uint64_t> read_varint(std::string_view& in) {
    if (in.empty()) return std::nullopt;
    const auto first = static_cast<std::uint8_t>(in[0]);
    in.remove_prefix(1);
    const int width = first == 251 ? 2 : first == 252 ? 4 : first == 253 ? 8 : 0;
    if (first > 253) return std::nullopt;
    if (width == 0) return first;
    if (in.size() < static_cast<std::size_t>(width)) return std::nullopt;
    std::uint64_t v = 0;
    for (int i = width - 1; i >= 0; --i) v = (v << 8) | static_cast<std::uint8_t>(in[static_cast<std::size_t>(i)]);
    in.remove_prefix(static_cast<std::size_t>(width));
    return v;
}

}  // namespace

void append_request(std::string& out, Mode mode, std::uint64_t id, std::uint64_t key_number, std::string_view topic,
                    std::string_view payload_json) {
    if (mode == Mode::RespPing) {
        out += "*1\r\n$4\r\nPING\r\n";
        return;
    }
    const std::size_t header_at = out.size();
    out.append(4, '\0');
    out += kRequestHead;
    append_varint(out, id);
    if (mode == Mode::TarpcLiveness) {
        append_varint(out, 0);
    } else {
        append_varint(out, 4);
        append_text(out, topic);
        char key[24];
        const int key_size = fmt::format_to_n(key, sizeof key, "k{}", key_number).size;
        append_text(out, std::string_view(key, static_cast<std::size_t>(key_size)));
        append_text(out, payload_json);
    }
    const auto n = static_cast<std::uint32_t>(out.size() - header_at - 4);
    out[header_at] = static_cast<char>(n >> 24);
    out[header_at + 1] = static_cast<char>((n >> 16) & 0xff);
    out[header_at + 2] = static_cast<char>((n >> 8) & 0xff);
    out[header_at + 3] = static_cast<char>(n & 0xff);
}

std::size_t complete_reply(Mode mode, std::string_view buffer) noexcept {
    if (mode == Mode::RespPing) {
        const std::size_t end = buffer.find('\n');
        return end == std::string_view::npos ? 0 : end + 1;
    }
    if (buffer.size() < 4) return 0;
    const std::size_t n = (std::size_t{static_cast<std::uint8_t>(buffer[0])} << 24) |
                          (std::size_t{static_cast<std::uint8_t>(buffer[1])} << 16) |
                          (std::size_t{static_cast<std::uint8_t>(buffer[2])} << 8) |
                          std::size_t{static_cast<std::uint8_t>(buffer[3])};
    return buffer.size() >= 4 + n ? 4 + n : 0;
}

std::optional<std::string> check_reply(Mode mode, std::string_view reply, std::uint64_t id) {
    if (mode == Mode::RespPing) {
        if (reply == "+PONG\r\n") return std::nullopt;
        return fmt::format("wrong reply to request {}: not +PONG", id);
    }
    std::string_view rest = reply.substr(4);
    const auto got_id = read_varint(rest);
    if (got_id != id) return fmt::format("wrong reply to request {}: id out of order", id);
    const auto tag = read_varint(rest);
    const auto variant = read_varint(rest);
    if (mode == Mode::TarpcLiveness) {
        if (tag == 0u && variant == 0u && rest == std::string_view("\x01", 1)) return std::nullopt;
        return fmt::format("wrong reply to request {}: not liveness true", id);
    }
    const auto length = read_varint(rest);
    if (tag == 0u && variant == 4u && length == rest.size() &&
        (rest == R"({"result":"Accepted"})" || rest == R"({"result":"Duplicate"})" ||
         rest == R"({"result":"AtCapacity"})")) {
        return std::nullopt;
    }
    return fmt::format("wrong reply to request {}: not an inject outcome", id);
}

}  // namespace quillfern::loadgen::binary
