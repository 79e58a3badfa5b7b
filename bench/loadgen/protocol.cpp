// Request texts and reply checks of each load mode.
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
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

constexpr std::size_t kSequenceHexDigits = 12;
constexpr std::size_t kVersionDigits = 19;

// Writes `value` into the `width` bytes at `at`, zero-padded.
void put_fixed(char* at, std::size_t width, std::uint64_t value, unsigned base) {
    for (std::size_t i = width; i-- > 0;) {
        at[i] = "0123456789abcdef"[value % base];
        value /= base;
    }
}

std::uint64_t wall_microseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

}  // namespace

Protocol::Protocol(const Options& options) : mode_(options.mode), expect_count_(options.expect_count) {
    const std::string payload = make_payload(options.payload_size);
    topic_ = options.topic;
    payload_json_ = "\"" + payload + "\"";
    switch (mode_) {
        case Mode::Spread: {
            // Entries as a peer's sweep sends them: members in written order, a nonce of
            // their own (this run's prefix, the request, the place in the batch) and a
            // version that rises from request to request and across runs.
            batch_ = options.batch;
            request_head_ = R"({"jsonrpc":"2.0","id":)";
            request_mid_ = R"(,"method":"gossip.spread","params":{"entries":[)";
            request_tail_ = R"(],"from":"bench-peer"}})"
                            "\n";
            spread_tail_ = R"(,"jsonrpc":"2.0","result":{"accepted":)";
            const std::uint64_t now_seconds = wall_microseconds() / 1'000'000;
            const std::string run_prefix = fmt::format("{:08x}{:08x}", static_cast<std::uint32_t>(::getpid()),
                                                       static_cast<std::uint32_t>(wall_microseconds()));
            // Each connection writes keys of its own (the keyspace shared out), so that
            // connections never race each other's versions of one key.
            const std::uint64_t keys_per_connection =
                std::max<std::uint64_t>(1, options.keyspace / options.connections);
            for (std::uint32_t c = 0; c < options.connections; ++c) {
                BatchText& batch = batches_.emplace_back();
                for (std::uint32_t i = 0; i < batch_; ++i) {
                    if (i != 0) batch.text += ',';
                    batch.text += fmt::format(
                        R"({{"created_at_epoch":{},"expires_at_epoch":{},"key":"k{}","nonce":"{})", now_seconds,
                        now_seconds + 600, c * keys_per_connection + i % keys_per_connection, run_prefix);
                    batch.nonce_places.push_back(batch.text.size());
                    batch.text += fmt::format(R"({}-{:04x}","origin_gate":"bench-origin","payload":"{}","topic":"{}",)"
                                              R"("ttl":5,"version":)",
                                              std::string(kSequenceHexDigits, '0'), i, payload, options.topic);
                    batch.version_places.push_back(batch.text.size());
                    batch.text += std::string(kVersionDigits, '0') + "}";
                }
            }
            break;
        }
        case Mode::RespMset: {
            batch_ = options.batch;
            request_head_ = fmt::format("*{}\r\n$4\r\nMSET\r\n", 1 + 2 * std::uint64_t{batch_});
            for (std::uint32_t i = 0; i < batch_; ++i) {
                const std::string key = fmt::format("k{}", i % options.keyspace);
                request_tail_ += fmt::format("${}\r\n{}\r\n${}\r\n{}\r\n", key.size(), key, payload.size(), payload);
            }
            break;
        }
        case Mode::TarpcLiveness:
        case Mode::TarpcInject:
        case Mode::RespPing: break;
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
            request_tail_ =
                fmt::format(R"(,"method":"gossip.query","params":{{"topic":"{}"}}}})", options.topic) + "\n";
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

void Protocol::append_request(std::string& out, std::uint64_t id, std::uint64_t key_number, std::uint64_t sequence,
                              std::size_t connection) const {
    switch (mode_) {
        case Mode::Spread: {
            out += request_head_;
            append_number(out, id);
            out += request_mid_;
            const std::size_t at = out.size();
            const BatchText& batch = batches_[connection % batches_.size()];
            out += batch.text;
            // Versions start at this run's wall-clock nanoseconds (19 digits until 2286), so
            // that a later run against the same server rises above an earlier one.
            static const std::uint64_t first_version = wall_microseconds() * 1000;
            for (std::uint32_t i = 0; i < batch_; ++i) {
                put_fixed(out.data() + at + batch.nonce_places[i], kSequenceHexDigits, sequence, 16);
                put_fixed(out.data() + at + batch.version_places[i], kVersionDigits,
                          first_version + sequence * batch_ + i, 10);
            }
            out += request_tail_;
            return;
        }
        case Mode::RespMset:
            out += request_head_;
            out += request_tail_;
            return;
        case Mode::TarpcLiveness:
        case Mode::TarpcInject:
        case Mode::RespPing: binary::append_request(out, mode_, id, key_number, topic_, payload_json_); return;
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
    const std::size_t width = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, id).ptr - digits);
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
        case Mode::RespPing: return binary::check_reply(mode_, reply, id);
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
        case Mode::Spread: {
            if (auto error = check_json_envelope(reply, id, rest)) return error;
            if (!starts_with(rest, spread_tail_)) return wrong(reply, id, "not spread counts");
            rest.remove_prefix(spread_tail_.size());
            std::uint64_t accepted = 0;
            std::uint64_t rejected = 0;
            auto parsed = std::from_chars(rest.data(), rest.data() + rest.size(), accepted);
            constexpr std::string_view kRejected = R"(,"rejected":)";
            rest.remove_prefix(static_cast<std::size_t>(parsed.ptr - rest.data()));
            if (parsed.ec != std::errc() || !starts_with(rest, kRejected)) return wrong(reply, id, "no counts");
            rest.remove_prefix(kRejected.size());
            parsed = std::from_chars(rest.data(), rest.data() + rest.size(), rejected);
            rest.remove_prefix(static_cast<std::size_t>(parsed.ptr - rest.data()));
            if (parsed.ec != std::errc() || rest != "}}\n") return wrong(reply, id, "no counts");
            if (accepted + rejected != batch_) return wrong(reply, id, "counts do not add up to the batch");
            return std::nullopt;
        }
        case Mode::RespSet:
        case Mode::RespMset:
            if (reply == "+OK\r\n") return std::nullopt;
            return wrong(reply, id, "not +OK");
    }
    return wrong(reply, id, "unknown mode");
}

std::uint64_t Protocol::accepted_in(std::string_view reply) const noexcept {
    if (mode_ != Mode::Spread) return 0;
    const std::size_t at = reply.find(spread_tail_);
    if (at == std::string_view::npos) return 0;
    reply.remove_prefix(at + spread_tail_.size());
    std::uint64_t accepted = 0;
    std::from_chars(reply.data(), reply.data() + reply.size(), accepted);
    return accepted;
}

}  // namespace quillfern::loadgen
