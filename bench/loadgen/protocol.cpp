// Request texts and reply checks of each load mode.
#include <charconv>
#include <cstring>

#include <fmt/format.h>

#include "loadgen.hpp"

namespace quillfern::loadgen {

namespace {

constexpr std::size_t kShownReplyBytes = 300;

// A payload of printable ASCII that needs no escaping in JSON or RESP.
std::string make_payload(std::size_t size) {
    static constexpr std::string_view kAlphabet = "abcdefghijklmnopqrstuvwxyz0123456789";
    std::string payload(size, 'x');
    for (std::size_t i = 0; i < size; ++i) payload[i] = kAlphabet[i % kAlphabet.size()];
    return payload;
}

void append_number(std::string& out, std::uint64_t value) {
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
}

std::size_t decimal_width(std::uint64_t value) {
    std::size_t width = 1;
    while (value >= 10) {
        value /= 10;
        ++width;
    }
    return width;
}

std::string shown(std::string_view reply) {
    std::string text(reply.substr(0, kShownReplyBytes));
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (reply.size() > kShownReplyBytes) text += fmt::format("... ({} bytes)", reply.size());
    return text;
}

std::string wrong(std::string_view reply, std::uint64_t id, std::string_view why) {
    return fmt::format("wrong reply to request {} ({}): {}", id, why, shown(reply));
}

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

}  // namespace

Protocol::Protocol(const Options& options) : mode_(options.mode), expect_count_(options.expect_count) {
    const std::string payload = make_payload(options.payload_size);
    topic_ = options.topic;
    payload_json_ = "\"" + payload + "\"";
    switch (mode_) {
        case Mode::TarpcLiveness:
        case Mode::TarpcInject:
        case Mode::RespPing:
            break;
        case Mode::Inject:
            request_head_ = R"({"jsonrpc":"2.0","id":)";
            request_mid_ = fmt::format(R"(,"method":"gossip.inject","params":{{"topic":"{}","key":"k)", options.topic);
            request_tail_ = fmt::format(R"(","payload":"{}"}}}})", payload) + "\n";
            for (std::string_view outcome : {"Accepted", "Duplicate", "AtCapacity"}) {
                inject_tails_.push_back(fmt::format(R"(,"jsonrpc":"2.0","result":{{"node_id":"{}","result":"{}"}}}})",
                                                    options.node_id, outcome) +
                                        "\n");
            }
            break;
        case Mode::Query:
            request_head_ = R"({"jsonrpc":"2.0","id":)";
            request_tail_ = fmt::format(R"(,"method":"gossip.query","params":{{"topic":"{}"}}}})", options.topic) + "\n";
            query_tail_ = fmt::format(R"(],"topic":"{}"}}}})", options.topic) + "\n";
            break;
        case Mode::Liveness:
            request_head_ = R"({"jsonrpc":"2.0","id":)";
            request_tail_ = std::string(R"(,"method":"health.liveness"})") + "\n";
            liveness_tail_ = std::string(R"(,"jsonrpc":"2.0","result":{"alive":true}})") + "\n";
            break;
        case Mode::RespSet:
            request_head_ = "*3\r\n$3\r\nSET\r\n$";
            request_tail_ = fmt::format("\r\n${}\r\n{}\r\n", payload.size(), payload);
            break;
    }
}

void Protocol::append_request(std::string& out, std::uint64_t id, std::uint64_t key_number) const {
    switch (mode_) {
        case Mode::TarpcLiveness:
        case Mode::TarpcInject:
        case Mode::RespPing:
            binary::append_request(out, mode_, id, key_number, topic_, payload_json_);
            return;
        case Mode::Inject:
            out += request_head_;
            append_number(out, id);
            out += request_mid_;
            append_number(out, key_number);
            out += request_tail_;
            return;
        case Mode::Query:
        case Mode::Liveness:
            out += request_head_;
            append_number(out, id);
            out += request_tail_;
            return;
        case Mode::RespSet:
            out += request_head_;
            append_number(out, 1 + decimal_width(key_number));
            out += "\r\nk";
            append_number(out, key_number);
            out += request_tail_;
            return;
    }
}

std::size_t Protocol::complete_reply(std::string_view buffer, std::size_t& scanned) const noexcept {
    if (is_binary_mode(mode_)) return binary::complete_reply(mode_, buffer);
    if (scanned >= buffer.size()) return 0;
    const void* found = std::memchr(buffer.data() + scanned, '\n', buffer.size() - scanned);
    if (found == nullptr) {
        scanned = buffer.size();
        return 0;
    }
    scanned = 0;
    return static_cast<std::size_t>(static_cast<const char*>(found) - buffer.data()) + 1;
}

std::optional<std::string> Protocol::check_json_envelope(std::string_view reply, std::uint64_t id,
                                                         std::string_view& rest) const {
    constexpr std::string_view kHead = R"({"id":)";
    if (!starts_with(reply, kHead)) return wrong(reply, id, "no id first");
    std::string_view after_head = reply.substr(kHead.size());
    char digits[24];
    const std::size_t width =
        static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, id).ptr - digits);
    if (!starts_with(after_head, std::string_view(digits, width)) ||
        (after_head.size() > width && after_head[width] >= '0' && after_head[width] <= '9')) {
        return wrong(reply, id, "id out of order");
    }
    rest = after_head.substr(width);
    return std::nullopt;
}

std::optional<std::string> Protocol::check_reply(std::string_view reply, std::uint64_t id) const {
    std::string_view rest;
    switch (mode_) {
        case Mode::TarpcLiveness:
        case Mode::TarpcInject:
        case Mode::RespPing:
            return binary::check_reply(mode_, reply, id);
        case Mode::Inject: {
            if (auto error = check_json_envelope(reply, id, rest)) return error;
            for (const std::string& tail : inject_tails_) {
                if (rest == tail) return std::nullopt;
            }
            return wrong(reply, id, "not an inject outcome");
        }
        case Mode::Liveness: {
            if (auto error = check_json_envelope(reply, id, rest)) return error;
            if (rest == liveness_tail_) return std::nullopt;
            return wrong(reply, id, "not the liveness reply");
        }
        case Mode::Query: {
            if (auto error = check_json_envelope(reply, id, rest)) return error;
            constexpr std::string_view kCountHead = R"(,"jsonrpc":"2.0","result":{"count":)";
            if (!starts_with(rest, kCountHead)) return wrong(reply, id, "no count");
            rest.remove_prefix(kCountHead.size());
            std::uint64_t count = 0;
            auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), count);
            if (ec != std::errc() || end == rest.data()) return wrong(reply, id, "count is not a number");
            rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
            if (expect_count_ && count != *expect_count_) {
                return wrong(reply, id, fmt::format("count {} where {} was expected", count, *expect_count_));
            }
            constexpr std::string_view kEntriesHead = R"(,"entries":[)";
            if (!starts_with(rest, kEntriesHead)) return wrong(reply, id, "no entries after count");
            rest.remove_prefix(kEntriesHead.size());
            if (rest.size() < query_tail_.size() || rest.substr(rest.size() - query_tail_.size()) != query_tail_) {
                return wrong(reply, id, "not closed by the topic");
            }
            const std::string_view entries = rest.substr(0, rest.size() - query_tail_.size());
            if ((count == 0) != entries.empty()) return wrong(reply, id, "entries do not match count");
            if (count > 0 && (entries.front() != '{' || entries.back() != '}')) {
                return wrong(reply, id, "entries are not objects");
            }
            return std::nullopt;
        }
        case Mode::RespSet:
            if (reply == "+OK\r\n") return std::nullopt;
            return wrong(reply, id, "not +OK");
    }
    return wrong(reply, id, "unknown mode");
}

}  // namespace quillfern::loadgen
