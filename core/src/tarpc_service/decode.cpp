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

// Reads the fields of one payload in order. The first fault is kept and ends the reading:
// every later read gives a meaningless value, and the caller asks for the fault's text
// once, when it stops. No error text is built on the way of a payload that reads.
class Reader {
public:
    explicit Reader(std::span<const std::uint8_t> bytes) noexcept : p_(bytes.data()), left_(bytes.size()) {}

    bool failed() const noexcept { return fault_ != Fault::None; }
    std::size_t left() const noexcept { return left_; }

    std::uint8_t byte() noexcept {
        if (left_ == 0) return fail(Fault::EndOfFile);
        --left_;
        return *p_++;
    }

    std::uint64_t varint() noexcept {
        if (left_ == 0) return fail(Fault::EndOfFile);
        const std::uint8_t first = *p_;
        if (first <= 250) {
            ++p_;
            --left_;
            return first;
        }
        switch (first) {
            case 251: return little_endian(2);
            case 252: return little_endian(4);
            case 253: return little_endian(8);
            case 254: return fail(Fault::U128Range);
            default: return fail(Fault::ExtensionByte);
        }
    }

    std::uint32_t u32() noexcept {
        const std::uint64_t value = varint();
        if (value > std::numeric_limits<std::uint32_t>::max()) return fail(Fault::InvalidU32, value);
        return static_cast<std::uint32_t>(value);
    }

    // A variant index below `count`.
    std::uint32_t variant(std::uint32_t count) noexcept {
        const std::uint32_t index = u32();
        if (!failed() && index >= count) return fail(Fault::InvalidVariant, index, count);
        return index;
    }

    std::string text() {
        const std::uint64_t length = varint();
        if (failed()) return {};
        // Checked before anything is copied: a false length allocates nothing.
        if (length > left_) {
            fail(Fault::TextPastEnd);
            return {};
        }
        const std::string_view bytes(reinterpret_cast<const char*>(p_), static_cast<std::size_t>(length));
        if (!text::is_valid_utf8(bytes)) {
            bad_text_ = bytes;
            fail(Fault::InvalidUtf8);
            return {};
        }
        p_ += length;
        left_ -= static_cast<std::size_t>(length);
        return std::string(bytes);
    }

    std::optional<std::string> optional_text() {
        const std::uint8_t tag = byte();
        if (failed() || tag == 0) return std::nullopt;
        if (tag != 1) {
            fail(Fault::InvalidOptionTag, tag);
            return std::nullopt;
        }
        std::string value = text();
        if (failed()) return std::nullopt;
        return value;
    }

    TraceContext trace_context() noexcept {
        TraceContext trace;
        if (left_ < trace.trace_id.size()) {
            fail(Fault::EndOfFile);
            return trace;
        }
        std::copy(p_, p_ + trace.trace_id.size(), trace.trace_id.begin());
        p_ += trace.trace_id.size();
        left_ -= trace.trace_id.size();
        trace.span_id = varint();
        trace.sampling_decision = static_cast<SamplingDecision>(variant(2));
        return trace;
    }

    // The first fault with its exact text; call only once failed().
    WireError error() const {
        switch (fault_) {
            case Fault::None:
            case Fault::EndOfFile: return {WireErrorKind::UnexpectedEof, "io error: unexpected end of file"};
            case Fault::TextPastEnd: return {WireErrorKind::TextPastEnd, "io error: "};
            case Fault::U128Range:
                return {WireErrorKind::U128Range,
                        "Invalid value (u128 range): you may have a version or configuration disagreement?"};
            case Fault::ExtensionByte:
                return {WireErrorKind::ExtensionByte,
                        "\nByte 255 is treated as an extension point; it should not be encoding anything.\nDo you "
                        "have a mismatched bincode version or configuration?\n"};
            case Fault::InvalidU32:
                return {WireErrorKind::InvalidU32,
                        fmt::format("Invalid u32 {}: you may have a version disagreement?", value_)};
            case Fault::InvalidVariant:
                return {WireErrorKind::InvalidVariant,
                        fmt::format("invalid value: integer `{}`, expected variant index 0 <= i < {}", value_, count_)};
            case Fault::InvalidOptionTag:
                return {WireErrorKind::InvalidOptionTag, fmt::format("tag for enum is not valid, found {}", value_)};
            case Fault::InvalidUtf8: return {WireErrorKind::InvalidUtf8, utf8_error_text(bad_text_)};
        }
        return {WireErrorKind::UnexpectedEof, "io error: unexpected end of file"};
    }

private:
    enum class Fault : std::uint8_t {
        None,
        EndOfFile,
        TextPastEnd,
        U128Range,
        ExtensionByte,
        InvalidU32,
        InvalidVariant,
        InvalidOptionTag,
        InvalidUtf8
    };

    // Keeps the first fault; nothing is read after it. Gives 0 for the caller to return.
    std::uint32_t fail(Fault fault, std::uint64_t value = 0, std::uint32_t count = 0) noexcept {
        if (!failed()) {
            fault_ = fault;
            value_ = value;
            count_ = count;
        }
        left_ = 0;
        return 0;
    }

    std::uint64_t little_endian(std::size_t bytes) noexcept {
        if (left_ < 1 + bytes) return fail(Fault::EndOfFile);
        std::uint64_t value = 0;
        for (std::size_t i = 0; i < bytes; ++i) value |= std::uint64_t{p_[1 + i]} << (8 * i);
        p_ += 1 + bytes;
        left_ -= 1 + bytes;
        return value;
    }

    const std::uint8_t* p_;
    std::size_t left_;
    Fault fault_ = Fault::None;
    std::uint64_t value_ = 0;  // the integer the fault concerns
    std::uint32_t count_ = 0;  // the number of variants, for InvalidVariant
    std::string_view bad_text_;
};

// The fields of service request variant `index` (below 9).
Call read_call(Reader& in, std::uint32_t index) {
    switch (index) {
        case 0: return Call{Call::HealthLiveness{}};
        case 1: return Call{Call::HealthReadiness{}};
        case 2: return Call{Call::HealthCheck{}};
        case 3: return Call{Call::CapabilitiesList{}};
        case 4: {
            Call call{Call::GossipInject{}};
            auto& inject = std::get<Call::GossipInject>(call.value);
            inject.topic = in.text();
            inject.key = in.text();
            inject.payload = in.text();
            return call;
        }
        case 6: return Call{Call::GossipStatus{}};
        case 7: return Call{Call::GossipPeers{}};
        case 5: {
            Call call{Call::GossipQuery{}};
            auto& query = std::get<Call::GossipQuery>(call.value);
            query.topic = in.text();
            query.key_prefix = in.optional_text();
            return call;
        }
        default: {
            Call call{Call::GossipSubscribe{}};
            auto& subscribe = std::get<Call::GossipSubscribe>(call.value);
            subscribe.topic = in.text();
            subscribe.key_prefix = in.optional_text();
            return call;
        }
    }
}

Expected<ClientMessage, WireError> decode(std::span<const std::uint8_t> payload,
                                          std::optional<MonotonicClock::time_point> now) {
    Reader in(payload);
    const std::uint32_t kind = in.variant(2);
    if (in.failed()) return unexpected(in.error());

    ClientMessage message;
    if (kind == 0) {
        const std::uint64_t seconds = in.varint();
        const std::uint32_t nanos = in.u32();
        if (in.failed()) return unexpected(in.error());
        if (seconds > std::numeric_limits<std::uint64_t>::max() - nanos / 1'000'000'000u) {
            return unexpected(WireError{WireErrorKind::DurationOverflow, "overflow deserializing Duration"});
        }
        Request& request = message.emplace<Request>();
        request.context.deadline = deadline_after(now ? *now : MonotonicClock::now(), seconds, nanos);
        request.context.trace_context = in.trace_context();
        request.id = in.varint();
        const std::uint32_t index = in.variant(static_cast<std::uint32_t>(kTarpcMethodNames.size()));
        if (in.failed()) return unexpected(in.error());
        request.message = read_call(in, index);
    } else {
        Cancel& cancel = message.emplace<Cancel>();
        cancel.trace_context = in.trace_context();
        cancel.request_id = in.varint();
    }
    if (in.failed()) return unexpected(in.error());
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
