// Responses to exact bytes, and client messages as a client would write them.
#include "quillfern/tarpc_service.hpp"
#include "varint.hpp"

namespace quillfern::tarpc_service {

namespace {

using detail::text_size;
using detail::varint_size;
using detail::Writer;
using Reply = QuillFernServiceResponse;

std::size_t payload_size(const Reply& reply) noexcept {
    return std::visit(
        [](const auto& v) -> std::size_t {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, Reply::HealthLiveness> || std::is_same_v<V, Reply::HealthReadiness>) {
                return 1;
            } else if constexpr (std::is_same_v<V, Reply::HealthCheck>) {
                return text_size(v.report.status) + text_size(v.report.wendle) + text_size(v.report.version);
            } else if constexpr (std::is_same_v<V, Reply::CapabilitiesList>) {
                std::size_t size = text_size(v.capabilities.wendle) + text_size(v.capabilities.version) +
                                   varint_size(v.capabilities.methods.size());
                for (const std::string& method : v.capabilities.methods) size += text_size(method);
                return size;
            } else {
                return text_size(v.json);
            }
        },
        reply.value);
}

void write_payload(Writer& w, const Reply& reply) noexcept {
    std::visit(
        [&w](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, Reply::HealthLiveness>) {
                w.byte(v.alive ? 1 : 0);
            } else if constexpr (std::is_same_v<V, Reply::HealthReadiness>) {
                w.byte(v.ready ? 1 : 0);
            } else if constexpr (std::is_same_v<V, Reply::HealthCheck>) {
                w.text(v.report.status);
                w.text(v.report.wendle);
                w.text(v.report.version);
            } else if constexpr (std::is_same_v<V, Reply::CapabilitiesList>) {
                w.text(v.capabilities.wendle);
                w.text(v.capabilities.version);
                w.varint(v.capabilities.methods.size());
                for (const std::string& method : v.capabilities.methods) w.text(method);
            } else {
                w.text(v.json);
            }
        },
        reply.value);
}

void write_response(Writer& w, const Response& response) noexcept {
    w.varint(response.request_id);
    w.varint(response.message.index());
    if (const Reply* reply = std::get_if<Reply>(&response.message)) {
        w.varint(reply->index());
        write_payload(w, *reply);
    } else {
        const ServerError& error = std::get<ServerError>(response.message);
        w.varint(detail::zigzag(static_cast<std::int32_t>(error.kind)));
        w.text(error.detail);
    }
}

}  // namespace

std::size_t encoded_size(const Response& response) noexcept {
    std::size_t size = varint_size(response.request_id) + 1;  // the result tag
    if (const Reply* reply = std::get_if<Reply>(&response.message)) {
        size += varint_size(reply->index()) + payload_size(*reply);
    } else {
        const ServerError& error = std::get<ServerError>(response.message);
        size += varint_size(detail::zigzag(static_cast<std::int32_t>(error.kind))) + text_size(error.detail);
    }
    return size;
}

std::vector<std::uint8_t> encode_response(const Response& response) {
    std::vector<std::uint8_t> payload(encoded_size(response));
    Writer w(payload.data());
    write_response(w, response);
    return payload;
}

Expected<void, WireError> append_response_frame(std::vector<std::uint8_t>& out, const Response& response) {
    const std::size_t size = encoded_size(response);
    if (size > kMaxFrameLength) return unexpected(WireError{WireErrorKind::FrameTooBig, "frame size too big"});
    const std::size_t at = out.size();
    out.resize(at + kFrameHeaderLength + size);
    Writer w(out.data() + at);
    const auto n = static_cast<std::uint32_t>(size);
    w.byte(static_cast<std::uint8_t>(n >> 24));
    w.byte(static_cast<std::uint8_t>(n >> 16));
    w.byte(static_cast<std::uint8_t>(n >> 8));
    w.byte(static_cast<std::uint8_t>(n));
    write_response(w, response);
    return {};
}

namespace {

using Call = QuillFernServiceRequest;

std::size_t optional_text_size(const std::optional<std::string>& s) noexcept { return s ? 1 + text_size(*s) : 1; }

void write_optional_text(Writer& w, const std::optional<std::string>& s) noexcept {
    w.byte(s ? 1 : 0);
    if (s) w.text(*s);
}

std::size_t trace_context_size(const TraceContext& trace) noexcept {
    return trace.trace_id.size() + varint_size(trace.span_id) + 1;
}

void write_trace_context(Writer& w, const TraceContext& trace) noexcept {
    w.raw(trace.trace_id.data(), trace.trace_id.size());
    w.varint(trace.span_id);
    w.varint(static_cast<std::uint64_t>(trace.sampling_decision));
}

std::size_t call_fields_size(const Call& call) noexcept {
    return std::visit(
        [](const auto& v) -> std::size_t {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, Call::GossipInject>) {
                return text_size(v.topic) + text_size(v.key) + text_size(v.payload);
            } else if constexpr (std::is_same_v<V, Call::GossipQuery> || std::is_same_v<V, Call::GossipSubscribe>) {
                return text_size(v.topic) + optional_text_size(v.key_prefix);
            } else {
                return 0;
            }
        },
        call.value);
}

void write_call_fields(Writer& w, const Call& call) noexcept {
    std::visit(
        [&w](const auto& v) {
            using V = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<V, Call::GossipInject>) {
                w.text(v.topic);
                w.text(v.key);
                w.text(v.payload);
            } else if constexpr (std::is_same_v<V, Call::GossipQuery> || std::is_same_v<V, Call::GossipSubscribe>) {
                w.text(v.topic);
                write_optional_text(w, v.key_prefix);
            }
        },
        call.value);
}

}  // namespace

std::vector<std::uint8_t> encode_client_message(const ClientMessage& message, MonotonicClock::time_point now) {
    if (const Cancel* cancel = std::get_if<Cancel>(&message)) {
        std::vector<std::uint8_t> payload(1 + trace_context_size(cancel->trace_context) +
                                          varint_size(cancel->request_id));
        Writer w(payload.data());
        w.varint(1);
        write_trace_context(w, cancel->trace_context);
        w.varint(cancel->request_id);
        return payload;
    }
    const Request& request = std::get<Request>(message);
    const auto left = std::max(MonotonicClock::duration::zero(), request.context.deadline - now);
    const auto ns = static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(left).count());
    const std::uint64_t seconds = ns / 1'000'000'000u;
    const std::uint64_t nanos = ns % 1'000'000'000u;
    std::vector<std::uint8_t> payload(1 + varint_size(seconds) + varint_size(nanos) +
                                      trace_context_size(request.context.trace_context) + varint_size(request.id) + 1 +
                                      call_fields_size(request.message));
    Writer w(payload.data());
    w.varint(0);
    w.varint(seconds);
    w.varint(nanos);
    write_trace_context(w, request.context.trace_context);
    w.varint(request.id);
    w.varint(request.message.index());
    write_call_fields(w, request.message);
    return payload;
}

}  // namespace quillfern::tarpc_service
