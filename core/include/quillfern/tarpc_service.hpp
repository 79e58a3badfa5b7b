// QuillFernService on the binary RPC socket: the service's request and response unions,
// the messages of the tarpc wire protocol that carry them, and the pure codec of that
// protocol: length-delimited frames (4-byte big-endian length, at most 8 MiB of payload),
// values in bincode 1's default encoding (variable-length integers, trailing bytes
// refused), the decoder of client messages and the encoder of responses. No sockets here:
// the connection feeds bytes in and writes the bytes that come out.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "quillfern/expected.hpp"

namespace quillfern::tarpc_service {

// ---- The service ----------------------------------------------------------------------

// The method name of each operation, indexed by the variant index of its request.
inline constexpr std::array<std::string_view, 9> kTarpcMethodNames{
    "QuillFernService.health_liveness",   "QuillFernService.health_readiness", "QuillFernService.health_check",
    "QuillFernService.capabilities_list", "QuillFernService.gossip_inject",    "QuillFernService.gossip_query",
    "QuillFernService.gossip_status",     "QuillFernService.gossip_peers",     "QuillFernService.gossip_subscribe",
};

// One request per operation, in operation order: the variant index is the wire index.
struct QuillFernServiceRequest {
    struct HealthLiveness {
        bool operator==(const HealthLiveness&) const = default;
    };
    struct HealthReadiness {
        bool operator==(const HealthReadiness&) const = default;
    };
    struct HealthCheck {
        bool operator==(const HealthCheck&) const = default;
    };
    struct CapabilitiesList {
        bool operator==(const CapabilitiesList&) const = default;
    };
    struct GossipInject {
        std::string topic;
        std::string key;
        std::string payload;  // a JSON document as text
        bool operator==(const GossipInject&) const = default;
    };
    struct GossipQuery {
        std::string topic;
        std::optional<std::string> key_prefix;
        bool operator==(const GossipQuery&) const = default;
    };
    struct GossipStatus {
        bool operator==(const GossipStatus&) const = default;
    };
    struct GossipPeers {
        bool operator==(const GossipPeers&) const = default;
    };
    struct GossipSubscribe {
        std::string topic;
        std::optional<std::string> key_prefix;
        bool operator==(const GossipSubscribe&) const = default;
    };

    using Variant = std::variant<HealthLiveness, HealthReadiness, HealthCheck, CapabilitiesList, GossipInject,
                                 GossipQuery, GossipStatus, GossipPeers, GossipSubscribe>;
    Variant value;

    std::size_t index() const noexcept { return value.index(); }
    // kTarpcMethodNames at this request's index.
    std::string_view method_name() const noexcept { return kTarpcMethodNames[value.index()]; }
    bool operator==(const QuillFernServiceRequest&) const = default;
};

struct HealthReport {
    std::string status;   // the HealthStatus name
    std::string wendle;   // "quillFern"
    std::string version;  // "0.1.0"
    bool operator==(const HealthReport&) const = default;
};

struct CapabilityList {
    std::string wendle;                // "quillFern"
    std::string version;               // "0.1.0"
    std::vector<std::string> methods;  // the JSON-RPC method names
    bool operator==(const CapabilityList&) const = default;
};

// The reply to a request always has the variant of that request.
struct QuillFernServiceResponse {
    struct HealthLiveness {
        bool alive = false;
        bool operator==(const HealthLiveness&) const = default;
    };
    struct HealthReadiness {
        bool ready = false;
        bool operator==(const HealthReadiness&) const = default;
    };
    struct HealthCheck {
        HealthReport report;
        bool operator==(const HealthCheck&) const = default;
    };
    struct CapabilitiesList {
        CapabilityList capabilities;
        bool operator==(const CapabilitiesList&) const = default;
    };
    // The five gossip replies are compact JSON texts.
    struct GossipInject {
        std::string json;
        bool operator==(const GossipInject&) const = default;
    };
    struct GossipQuery {
        std::string json;
        bool operator==(const GossipQuery&) const = default;
    };
    struct GossipStatus {
        std::string json;
        bool operator==(const GossipStatus&) const = default;
    };
    struct GossipPeers {
        std::string json;
        bool operator==(const GossipPeers&) const = default;
    };
    struct GossipSubscribe {
        std::string json;
        bool operator==(const GossipSubscribe&) const = default;
    };

    using Variant = std::variant<HealthLiveness, HealthReadiness, HealthCheck, CapabilitiesList, GossipInject,
                                 GossipQuery, GossipStatus, GossipPeers, GossipSubscribe>;
    Variant value;

    std::size_t index() const noexcept { return value.index(); }
    bool operator==(const QuillFernServiceResponse&) const = default;
};

// ---- The messages -----------------------------------------------------------------------

// 16 bytes in wire order: read as a 128-bit number, the first byte is the least significant.
using TraceId = std::array<std::uint8_t, 16>;

enum class SamplingDecision : std::uint8_t { Sampled = 0, Unsampled = 1 };

struct TraceContext {
    TraceId trace_id{};
    std::uint64_t span_id = 0;
    SamplingDecision sampling_decision = SamplingDecision::Sampled;
    bool operator==(const TraceContext&) const = default;
};

// The trace id as lower-case hexadecimal of its 128-bit number, without leading zeros but
// at least two digits ("00", "0f", "f0e0d", ...).
std::string trace_id_text(const TraceId& id);

using MonotonicClock = std::chrono::steady_clock;

// A deadline is never set further ahead than this: what lies beyond is clamped to it.
inline constexpr std::chrono::milliseconds kDeadlineHorizon{(std::int64_t{1} << 36) - 1};

// The deadline `seconds` and `nanoseconds` after `now` (the nanoseconds may exceed one
// second), at most kDeadlineHorizon ahead. The caller has checked that the sum of seconds
// fits 64 bits.
MonotonicClock::time_point deadline_after(MonotonicClock::time_point now, std::uint64_t seconds,
                                          std::uint64_t nanos) noexcept;

// `wall_now` plus `remaining` (negative counts as zero) in RFC 3339 UTC: seconds, then
// "." and nine digits only when the nanoseconds are not zero, then "Z"
// ("2026-12-10T12:00:10Z", "2026-12-10T12:00:10.500000000Z"). Any pair of arguments
// gives a time: the sum is not taken in one 64-bit count, so it cannot overflow.
std::string deadline_text(std::chrono::system_clock::time_point wall_now, MonotonicClock::duration remaining);

struct Context {
    // An instant of the monotonic clock: the clock reading at decoding plus the time the
    // client gave, clamped to kDeadlineHorizon.
    MonotonicClock::time_point deadline{};
    TraceContext trace_context;
    bool operator==(const Context&) const = default;
};

struct Request {
    Context context;
    std::uint64_t id = 0;  // chosen by the client; its response carries it back
    QuillFernServiceRequest message;
    bool operator==(const Request&) const = default;
};

struct Cancel {
    TraceContext trace_context;
    std::uint64_t request_id = 0;
    bool operator==(const Cancel&) const = default;
};

// Index 0 Request, 1 Cancel, as on the wire.
using ClientMessage = std::variant<Request, Cancel>;

// The error kinds a response may carry, with their wire codes.
enum class ServerErrorKind : std::int32_t {
    NotFound = 0,
    PermissionDenied = 1,
    ConnectionRefused = 2,
    ConnectionReset = 3,
    ConnectionAborted = 4,
    NotConnected = 5,
    AddrInUse = 6,
    AddrNotAvailable = 7,
    BrokenPipe = 8,
    AlreadyExists = 9,
    WouldBlock = 10,
    InvalidInput = 11,
    InvalidData = 12,
    TimedOut = 13,
    WriteZero = 14,
    Interrupted = 15,
    Other = 16,
    UnexpectedEof = 17,
};

// The error form of a response. This server never sends it; it exists for the wire's sake.
struct ServerError {
    ServerErrorKind kind = ServerErrorKind::Other;
    std::string detail;
    bool operator==(const ServerError&) const = default;
};

struct Response {
    std::uint64_t request_id = 0;
    // Index 0 success, 1 error: the result tag on the wire.
    std::variant<QuillFernServiceResponse, ServerError> message;
    bool operator==(const Response&) const = default;
};

// ---- Errors of the codec ------------------------------------------------------------------

enum class WireErrorKind : std::uint8_t {
    FrameTooBig,       // "frame size too big" (read or write side)
    BytesRemaining,    // "bytes remaining on stream"
    UnexpectedEof,     // "io error: unexpected end of file"
    TextPastEnd,       // "io error: "
    U128Range,         // first integer byte 254
    ExtensionByte,     // first integer byte 255
    InvalidU32,        // "Invalid u32 {}: you may have a version disagreement?"
    InvalidVariant,    // "invalid value: integer `{}`, expected variant index 0 <= i < {}"
    InvalidOptionTag,  // "tag for enum is not valid, found {}"
    InvalidUtf8,       // "string is not valid utf8: ..."
    DurationOverflow,  // "overflow deserializing Duration"
    TrailingBytes,     // "Slice had bytes remaining after deserialization"
};

// Why a frame or message could not be read (or a response not framed). `detail` is the
// exact text the connection reports as the cause of its read or write error.
struct WireError {
    WireErrorKind kind = WireErrorKind::UnexpectedEof;
    std::string detail;
    bool operator==(const WireError&) const = default;
};

// ---- Frames -------------------------------------------------------------------------------

// The most payload bytes of one frame, in each direction; the 4 header bytes not counted.
inline constexpr std::size_t kMaxFrameLength = 8 * 1024 * 1024;
inline constexpr std::size_t kFrameHeaderLength = 4;

// Splits a byte stream into frame payloads. Bytes go in through prepare/commit (room for
// the next socket read, then how much of it the read filled); complete frames come out of
// next(), one per call, before the socket needs to be read again. The buffer grows as a
// frame's bytes arrive: a header announcing 8 MiB reserves nothing by itself, and room
// offered for the next read never exceeds what the frame in progress has already
// delivered by much.
class FrameReader {
public:
    FrameReader() = default;
    FrameReader(const FrameReader&) = delete;
    FrameReader& operator=(const FrameReader&) = delete;
    // A reader moved from is empty, as a new one.
    FrameReader(FrameReader&& other) noexcept { *this = std::move(other); }
    FrameReader& operator=(FrameReader&& other) noexcept;

    // Room for the next read, at least one byte; valid until the next call of prepare,
    // commit or next.
    std::span<std::uint8_t> prepare();
    // `n` bytes of the room prepare gave were filled.
    void commit(std::size_t n) noexcept;
    // Copies bytes in (prepare and commit in one; for callers that already hold them).
    void append(std::span<const std::uint8_t> bytes);

    // The next complete payload (valid until the next call of prepare, commit, append or
    // next), none while more bytes are needed, or "frame size too big" as soon as a
    // header announces more than kMaxFrameLength. After an error every call repeats it.
    Expected<std::optional<std::span<const std::uint8_t>>, WireError> next();

    // At the end of input, once next() has handed out every complete frame: an error
    // "bytes remaining on stream" when any byte of an unfinished header or payload is
    // buffered. A header whose payload has not begun is forgotten: the stream ends cleanly.
    Expected<void, WireError> finish() const;

    // Bytes received and not yet handed out (header bytes of an unfinished header included).
    std::size_t buffered() const noexcept { return end_ - start_; }
    // Bytes the buffer holds room for.
    std::size_t capacity() const noexcept { return capacity_; }

private:
    void reserve_room(std::size_t room);

    std::unique_ptr<std::uint8_t[]> data_;
    std::size_t capacity_ = 0;
    std::size_t start_ = 0;                      // first byte not handed out
    std::size_t end_ = 0;                        // one past the last byte received
    std::optional<std::size_t> payload_length_;  // set while inside a payload
    std::optional<WireError> error_;
};

// ---- Messages ---------------------------------------------------------------------------

// One frame's payload to the message it holds, or the exact reason it holds none. A
// Request's deadline is `now` plus the time it carries (clamped, see deadline_after); the
// overload without `now` reads the monotonic clock, once, for a Request only.
Expected<ClientMessage, WireError> decode_client_message(std::span<const std::uint8_t> payload,
                                                         MonotonicClock::time_point now);
Expected<ClientMessage, WireError> decode_client_message(std::span<const std::uint8_t> payload);

// A client message's payload as a client writes it (shortest integer forms), its
// deadline given as the time left after `now` (none when past). The server never sends
// one: it lets the decoder be checked against what it reads back.
std::vector<std::uint8_t> encode_client_message(const ClientMessage& message, MonotonicClock::time_point now);

// The exact payload bytes of a response, in one allocation of its final size.
std::size_t encoded_size(const Response& response) noexcept;
std::vector<std::uint8_t> encode_response(const Response& response);

// Appends the response's whole frame (header and payload) to `out`; a payload of more than
// kMaxFrameLength bytes fails with "frame size too big" and appends nothing.
Expected<void, WireError> append_response_frame(std::vector<std::uint8_t>& out, const Response& response);

// Appends a frame of `payload`; the same limit and error.
Expected<void, WireError> append_frame(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> payload);

}  // namespace quillfern::tarpc_service
