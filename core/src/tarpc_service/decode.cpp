// One frame's payload to the client message it holds, field by field; the first fault
// ends the decode with its exact text.
#include <fmt/format.h>

#include <limits>

#include "quillfern/tarpc_service.hpp"
#include "quillfern/text.hpp"

namespace quillfern::tarpc_service {

namespace {

using Call = QuillFernServiceRequest;

// Where a UTF-8 check failed, in the words of the string type's error: the valid prefix
// and the length of the invalid sequence (none when the text ends inside a sequence).
std::string utf8_error_text(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    const std::size_t n = s.size();
    std::size_t i = 0;
    std::size_t bad = 0;  // 0: the text ended inside a sequence
    while (i < n) {
        const unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t width = 0;
        unsigned char lo = 0x80;
        unsigned char hi = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            width = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            width = 3;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            width = 4;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        } else {
            bad = 1;
            break;
        }
        // The second byte has its own bounds; the later ones are continuation bytes.
        std::size_t k = 1;
        for (; k < width; ++k) {
            if (i + k >= n) break;
            const unsigned char b = p[i + k];
            const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
            if (!ok) {
                bad = k;
                break;
            }
        }
        if (bad != 0 || k < width) break;
        i += width;
    }
    if (bad == 0) return fmt::format("string is not valid utf8: incomplete utf-8 byte sequence from index {}", i);
    return fmt::format("string is not valid utf8: invalid utf-8 sequence of {} bytes from index {}", bad, i);
}

class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) noexcept : p_(bytes.data()), left_(bytes.size()) {}

    std::size_t left() const noexcept { return left_; }

    Expected<std::uint8_t, WireError> byte() {
        if (left_ == 0) return unexpected(end_of_file());
        --left_;
        return *p_++;
    }

    Expected<std::uint64_t, WireError> varint() {
        if (left_ == 0) return unexpected(end_of_file());
        const std::uint8_t first = *p_;
        if (first <= 250) {
            ++p_;
            --left_;
            return std::uint64_t{first};
        }
        switch (first) {
            case 251: return little_endian(2);
            case 252: return little_endian(4);
            case 253: return little_endian(8);
            case 254:
                return unexpected(
                    WireError{WireErrorKind::U128Range,
                              "Invalid value (u128 range): you may have a version or configuration disagreement?"});
            default:
                return unexpected(WireError{WireErrorKind::ExtensionByte,
                                            "\nByte 255 is treated as an extension point; it should not be "
                                            "encoding anything.\nDo you have a mismatched bincode version or "
                                            "configuration?\n"});
        }
    }

    Expected<std::uint32_t, WireError> u32() {
        auto value = varint();
        if (!value) return unexpected(std::move(value).error());
        if (*value > std::numeric_limits<std::uint32_t>::max()) {
            return unexpected(WireError{WireErrorKind::InvalidU32,
                                        fmt::format("Invalid u32 {}: you may have a version disagreement?", *value)});
        }
        return static_cast<std::uint32_t>(*value);
    }

    // A variant index below `count`.
    Expected<std::uint32_t, WireError> variant(std::uint32_t count) {
        auto index = u32();
        if (!index) return index;
        if (*index >= count) {
            return unexpected(WireError{
                WireErrorKind::InvalidVariant,
                fmt::format("invalid value: integer `{}`, expected variant index 0 <= i < {}", *index, count)});
        }
        return index;
    }

    Expected<std::string, WireError> text() {
        auto length = varint();
        if (!length) return unexpected(std::move(length).error());
        // Checked before anything is copied: a false length allocates nothing.
        if (*length > left_) return unexpected(WireError{WireErrorKind::TextPastEnd, "io error: "});
        const std::string_view bytes(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(*length));
        if (!text::is_valid_utf8(bytes))
            return unexpected(WireError{WireErrorKind::InvalidUtf8, utf8_error_text(bytes)});
        p_ += *length;
        left_ -= static_cast<std::size_t>(*length);
        return std::string(bytes);
    }

    Expected<std::optional<std::string>, WireError> optional_text() {
        auto tag = byte();
        if (!tag) return unexpected(std::move(tag).error());
        if (*tag == 0) return std::optional<std::string>{};
        if (*tag != 1) {
            return unexpected(
                WireError{WireErrorKind::InvalidOptionTag, fmt::format("tag for enum is not valid, found {}", *tag)});
        }
        auto value = text();
        if (!value) return unexpected(std::move(value).error());
        return std::optional<std::string>{std::move(*value)};
    }

    Expected<TraceContext, WireError> trace_context() {
        TraceContext trace;
        if (left_ < trace.trace_id.size()) return unexpected(end_of_file());
        std::copy(p_, p_ + trace.trace_id.size(), trace.trace_id.begin());
        p_ += trace.trace_id.size();
        left_ -= trace.trace_id.size();
        auto span_id = varint();
        if (!span_id) return unexpected(std::move(span_id).error());
        trace.span_id = *span_id;
        auto sampling = variant(2);
        if (!sampling) return unexpected(std::move(sampling).error());
        trace.sampling_decision = static_cast<SamplingDecision>(*sampling);
        return trace;
    }

private:
    static WireError end_of_file() { return {WireErrorKind::UnexpectedEof, "io error: unexpected end of file"}; }

    Expected<std::uint64_t, WireError> little_endian(std::size_t bytes) {
        if (left_ < 1 + bytes) return unexpected(end_of_file());
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{p_[1 + i]} << (8 * i);
        p_ += 1 + bytes;
        left_ -= 1 + bytes;
        return value;
    }

    const std::uint8_t* p_;
    std::size_t left_;
};

// Reads a variant's fields into `call`; `index` is below 9.
Expected<Call, WireError> read_call(Reader& in, std::uint32_t index) {
    switch (index) {
        case 0: return Call{Call::HealthLiveness{}};
        case 1: return Call{Call::HealthReadiness{}};
        case 2: return Call{Call::HealthCheck{}};
        case 3: return Call{Call::CapabilitiesList{}};
        case 4: {
            auto topic = in.text();
            if (!topic) return unexpected(std::move(topic).error());
            auto key = in.text();
            if (!key) return unexpected(std::move(key).error());
            auto payload = in.text();
            if (!payload) return unexpected(std::move(payload).error());
            return Call{Call::GossipInject{std::move(*topic), std::move(*key), std::move(*payload)}};
        }
        case 6: return Call{Call::GossipStatus{}};
        case 7: return Call{Call::GossipPeers{}};
        default: {  // 5 and 8: a topic and an optional key prefix
            auto topic = in.text();
            if (!topic) return unexpected(std::move(topic).error());
            auto prefix = in.optional_text();
            if (!prefix) return unexpected(std::move(prefix).error());
            if (index == 5) return Call{Call::GossipQuery{std::move(*topic), std::move(*prefix)}};
            return Call{Call::GossipSubscribe{std::move(*topic), std::move(*prefix)}};
        }
    }
}

Expected<ClientMessage, WireError> decode(std::span<const std::uint8_t> payload,
                                          std::optional<MonotonicClock::time_point> now) {
    Reader in(payload);
    auto kind = in.variant(2);
    if (!kind) return unexpected(std::move(kind).error());

    ClientMessage message;
    if (*kind == 0) {
        auto seconds = in.varint();
        if (!seconds) return unexpected(std::move(seconds).error());
        auto nanos = in.u32();
        if (!nanos) return unexpected(std::move(nanos).error());
        if (*seconds > std::numeric_limits<std::uint64_t>::max() - *nanos / 1'000'000'000u) {
            return unexpected(WireError{WireErrorKind::DurationOverflow, "overflow deserializing Duration"});
        }
        Request request;
        request.context.deadline = deadline_after(now ? *now : MonotonicClock::now(), *seconds, *nanos);
        auto trace = in.trace_context();
        if (!trace) return unexpected(std::move(trace).error());
        request.context.trace_context = *trace;
        auto id = in.varint();
        if (!id) return unexpected(std::move(id).error());
        request.id = *id;
        auto index = in.variant(static_cast<std::uint32_t>(TARPC_METHOD_NAMES.size()));
        if (!index) return unexpected(std::move(index).error());
        auto call = read_call(in, *index);
        if (!call) return unexpected(std::move(call).error());
        request.message = std::move(*call);
        message = std::move(request);
    } else {
        Cancel cancel;
        auto trace = in.trace_context();
        if (!trace) return unexpected(std::move(trace).error());
        cancel.trace_context = *trace;
        auto id = in.varint();
        if (!id) return unexpected(std::move(id).error());
        cancel.request_id = *id;
        message = cancel;
    }
    if (in.left() != 0) {
        return unexpected(WireError{WireErrorKind::TrailingBytes, "Slice had bytes remaining after deserialization"});
    }
    return message;
}

}  // namespace

Expected<ClientMessage, WireError> decode_client_message(std::span<const std::uint8_t> payload,
                                                         MonotonicClock::time_point now) {
    return decode(payload, now);
}

Expected<ClientMessage, WireError> decode_client_message(std::span<const std::uint8_t> payload) {
    return decode(payload, std::nullopt);
}

}  // namespace quillfern::tarpc_service
