// Client messages read from frame payloads: the layout of both kinds, the integer forms,
// deadlines, and every kind of malformed payload with its exact text.
#include <chrono>
#include <limits>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "quillfern/tarpc_service.hpp"
#include "wire_bytes.hpp"

namespace quillfern::tarpc_service {
namespace {

using namespace std::chrono_literals;
using testing::ascii;
using testing::Bytes;
using testing::hex;
using testing::operator+;
using testing::to_hex;
using Call = QuillFernServiceRequest;

const MonotonicClock::time_point kNow = MonotonicClock::time_point(1000h);

const Bytes kTraceId = hex("00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f");

// A Request with a 10 s deadline, the trace id above, span 300, Sampled and id 5, up to
// its service request index.
Bytes request_head() { return hex("00 0a 00") + kTraceId + hex("fb 2c 01 00 05"); }

TraceContext example_trace() {
    TraceContext trace;
    std::copy(kTraceId.begin(), kTraceId.end(), trace.trace_id.begin());
    trace.span_id = 300;
    trace.sampling_decision = SamplingDecision::Sampled;
    return trace;
}

Request decode_request(const Bytes& payload, MonotonicClock::time_point now = kNow) {
    auto message = decode_client_message(payload, now);
    EXPECT_TRUE(message.has_value()) << to_hex(payload) << ": " << message.error().detail;
    if (!message) return {};
    EXPECT_EQ(message->index(), 0u) << to_hex(payload);
    return std::get<Request>(*message);
}

TEST(DecodeTest, WorkedExampleRequestAndItsCancel) {
    const Bytes payload = request_head() + hex("05 04") + ascii("data") + hex("01 09") + ascii("endpoint.");
    ASSERT_EQ(payload.size(), 41u);

    const Request request = decode_request(payload);
    EXPECT_EQ(request.id, 5u);
    EXPECT_EQ(request.context.trace_context, example_trace());
    EXPECT_EQ(request.context.deadline, kNow + 10s);
    EXPECT_EQ(request.message, (Call{Call::GossipQuery{"data", "endpoint."}}));
    EXPECT_EQ(request.message.method_name(), "QuillFernService.gossip_query");
    // Written back as a client writes it: the very same bytes.
    EXPECT_EQ(to_hex(encode_client_message(request, kNow)), to_hex(payload));

    const Bytes cancel_payload = hex("01") + kTraceId + hex("fb 2c 01 00 05");
    auto cancel = decode_client_message(cancel_payload, kNow);
    ASSERT_TRUE(cancel.has_value()) << cancel.error().detail;
    EXPECT_EQ(std::get<Cancel>(*cancel), (Cancel{example_trace(), 5}));
    EXPECT_EQ(to_hex(encode_client_message(*cancel, kNow)), to_hex(cancel_payload));
}

TEST(DecodeTest, EveryServiceRequestVariantWithItsFields) {
    struct Case {
        Bytes fields;  // after the request head
        Call expected;
    };
    const Case cases[] = {
        {hex("00"), Call{Call::HealthLiveness{}}},
        {hex("01"), Call{Call::HealthReadiness{}}},
        {hex("02"), Call{Call::HealthCheck{}}},
        {hex("03"), Call{Call::CapabilitiesList{}}},
        {hex("04 05") + ascii("varne") + hex("03") + ascii("k.1") + hex("07") + ascii("{\"a\":1}"),
         Call{Call::GossipInject{"varne", "k.1", "{\"a\":1}"}}},
        {hex("04 00 00 00"), Call{Call::GossipInject{"", "", ""}}},
        {hex("05 07") + ascii("compute") + hex("00"), Call{Call::GossipQuery{"compute", std::nullopt}}},
        {hex("05 04") + ascii("data") + hex("01 00"), Call{Call::GossipQuery{"data", ""}}},
        {hex("06"), Call{Call::GossipStatus{}}},
        {hex("07"), Call{Call::GossipPeers{}}},
        {hex("08 04") + ascii("data") + hex("01 02") + ascii("k."), Call{Call::GossipSubscribe{"data", "k."}}},
        {hex("08 02") + ascii("\xC3\xA9") + hex("00"), Call{Call::GossipSubscribe{"\xC3\xA9", std::nullopt}}},
        // A long text: its length takes the three-byte form.
        {hex("04 04") + ascii("data") + hex("01") + ascii("k") + hex("fb 2c 01") + Bytes(300, 'x'),
         Call{Call::GossipInject{"data", "k", std::string(300, 'x')}}},
    };
    for (const Case& c : cases) {
        const Bytes payload = request_head() + c.fields;
        const Request request = decode_request(payload);
        EXPECT_EQ(request.message, c.expected) << to_hex(payload);
        EXPECT_EQ(to_hex(encode_client_message(request, kNow)), to_hex(payload));
    }
}

TEST(DecodeTest, IntegersInEveryFormTheShortestAndLongerOnes) {
    struct Case {
        std::string_view form;
        std::uint64_t value;
        bool shortest;
    };
    const Case cases[] = {
        {"00", 0, true},
        {"fa", 250, true},
        {"fb fb 00", 251, true},
        {"fb ff ff", 65'535, true},
        {"fc 00 00 01 00", 65'536, true},
        {"fc ff ff ff ff", 4'294'967'295, true},
        {"fd 00 00 00 00 01 00 00 00", 4'294'967'296, true},
        {"fd ff ff ff ff ff ff ff ff", std::numeric_limits<std::uint64_t>::max(), true},
        {"fb 05 00", 5, false},
        {"fb 00 00", 0, false},
        {"fc 05 00 00 00", 5, false},
        {"fd fa 00 00 00 00 00 00 00", 250, false},
    };
    for (const Case& c : cases) {
        // As a Cancel's request id, and as the Request's message index (a u32).
        const Bytes payload = hex("01") + kTraceId + hex("00 00") + hex(c.form);
        auto message = decode_client_message(payload, kNow);
        ASSERT_TRUE(message.has_value()) << c.form << ": " << message.error().detail;
        EXPECT_EQ(std::get<Cancel>(*message).request_id, c.value) << c.form;
        if (c.shortest) {
            EXPECT_EQ(to_hex(encode_client_message(*message, kNow)), to_hex(payload));
        }
    }
    // The message index itself in a longer form.
    auto cancel = decode_client_message(hex("fb 01 00") + kTraceId + hex("00 00 07"), kNow);
    ASSERT_TRUE(cancel.has_value()) << cancel.error().detail;
    EXPECT_EQ(std::get<Cancel>(*cancel).request_id, 7u);
}

TEST(DecodeTest, DeadlineIsTheClockReadingPlusTheDurationClampedToTheHorizon) {
    struct Case {
        std::string_view duration;  // seconds, then nanoseconds
        MonotonicClock::duration ahead;
    };
    const Case cases[] = {
        {"00 00", 0s},
        {"0a 00", 10s},
        {"01 fc 00 2f 68 59", 2500ms},  // 1 s and 1,500,000,000 ns
        {"00 fc ff c9 9a 3b", 999'999'999ns},
        {"00 fc ff ff ff ff", 4'294'967'295ns},                           // the largest nanoseconds
        {"fc 74 93 18 04 fc c0 35 cf 2b", kDeadlineHorizon},              // 68,719,476 s 735,000,000 ns
        {"fc 74 93 18 04 fc c1 35 cf 2b", kDeadlineHorizon},              // 1 ns beyond
        {"fd ff ff ff ff ff ff ff ff 00", kDeadlineHorizon},              // the largest seconds
        {"fd ff ff ff ff ff ff ff ff fc ff c9 9a 3b", kDeadlineHorizon},  // with 999,999,999 ns
    };
    for (const Case& c : cases) {
        const Bytes payload = hex("00") + hex(c.duration) + kTraceId + hex("00 00 01 00");
        const Request request = decode_request(payload);
        EXPECT_EQ(request.context.deadline - kNow, c.ahead) << c.duration;
    }
    EXPECT_EQ(kDeadlineHorizon, std::chrono::milliseconds(68'719'476'735));
}

TEST(DecodeTest, WithoutAClockReadingGivenADeadlineIsCountedFromNow) {
    const MonotonicClock::time_point before = MonotonicClock::now();
    auto message = decode_client_message(request_head() + hex("00"));
    const MonotonicClock::time_point after = MonotonicClock::now();
    ASSERT_TRUE(message.has_value()) << message.error().detail;
    const MonotonicClock::time_point deadline = std::get<Request>(*message).context.deadline;
    EXPECT_GE(deadline, before + 10s);
    EXPECT_LE(deadline, after + 10s);
}

TEST(DecodeTest, MalformedPayloadsFailWithTheirExactText) {
    const std::string eof = "io error: unexpected end of file";
    const std::string u128 = "Invalid value (u128 range): you may have a version or configuration disagreement?";
    const std::string byte255 =
        "\nByte 255 is treated as an extension point; it should not be encoding anything.\n"
        "Do you have a mismatched bincode version or configuration?\n";
    const std::string trailing = "Slice had bytes remaining after deserialization";
    const Bytes cancel_head = hex("01") + kTraceId + hex("00 00");
    const Bytes query_data = request_head() + hex("05 04") + ascii("data");

    struct Case {
        std::string_view name;
        Bytes payload;
        WireErrorKind kind;
        std::string detail;
    };
    const Case cases[] = {
        {"empty payload", {}, WireErrorKind::UnexpectedEof, eof},
        {"message index 2", hex("02"), WireErrorKind::InvalidVariant,
         "invalid value: integer `2`, expected variant index 0 <= i < 2"},
        {"message index 250", hex("fa"), WireErrorKind::InvalidVariant,
         "invalid value: integer `250`, expected variant index 0 <= i < 2"},
        {"message index above u32", hex("fd 00 00 00 00 01 00 00 00"), WireErrorKind::InvalidU32,
         "Invalid u32 4294967296: you may have a version disagreement?"},
        {"first integer byte 254", hex("fe"), WireErrorKind::U128Range, u128},
        {"first integer byte 255", hex("ff"), WireErrorKind::ExtensionByte, byte255},
        {"integer cut inside its two bytes", hex("fb 00"), WireErrorKind::UnexpectedEof, eof},
        {"integer cut inside its eight bytes", hex("01") + kTraceId + hex("fd 01 02 03"), WireErrorKind::UnexpectedEof,
         eof},
        {"request without a deadline", hex("00"), WireErrorKind::UnexpectedEof, eof},
        {"deadline without nanoseconds", hex("00 0a"), WireErrorKind::UnexpectedEof, eof},
        {"nanoseconds above u32", hex("00 0a fd 00 00 00 00 01 00 00 00"), WireErrorKind::InvalidU32,
         "Invalid u32 4294967296: you may have a version disagreement?"},
        {"deadline seconds overflow with the carry", hex("00 fd ff ff ff ff ff ff ff ff fc 00 ca 9a 3b") + kTraceId,
         WireErrorKind::DurationOverflow, "overflow deserializing Duration"},
        {"trace id of 15 bytes", hex("00 0a 00") + Bytes(kTraceId.begin(), kTraceId.end() - 1),
         WireErrorKind::UnexpectedEof, eof},
        {"no span id", hex("01") + kTraceId, WireErrorKind::UnexpectedEof, eof},
        {"no sampling decision", hex("01") + kTraceId + hex("00"), WireErrorKind::UnexpectedEof, eof},
        {"sampling decision 2", hex("01") + kTraceId + hex("00 02"), WireErrorKind::InvalidVariant,
         "invalid value: integer `2`, expected variant index 0 <= i < 2"},
        {"sampling decision above u32", hex("01") + kTraceId + hex("00 fd 00 00 00 00 01 00 00 00"),
         WireErrorKind::InvalidU32, "Invalid u32 4294967296: you may have a version disagreement?"},
        {"cancel without request id", cancel_head, WireErrorKind::UnexpectedEof, eof},
        {"request without id", hex("00 0a 00") + kTraceId + hex("00 00"), WireErrorKind::UnexpectedEof, eof},
        {"request without service index", request_head(), WireErrorKind::UnexpectedEof, eof},
        {"service index 9", request_head() + hex("09"), WireErrorKind::InvalidVariant,
         "invalid value: integer `9`, expected variant index 0 <= i < 9"},
        {"service index 65535", request_head() + hex("fb ff ff"), WireErrorKind::InvalidVariant,
         "invalid value: integer `65535`, expected variant index 0 <= i < 9"},
        {"inject without topic", request_head() + hex("04"), WireErrorKind::UnexpectedEof, eof},
        {"inject without payload", request_head() + hex("04 00 00"), WireErrorKind::UnexpectedEof, eof},
        {"text longer than the payload", request_head() + hex("05 05") + ascii("data"), WireErrorKind::TextPastEnd,
         "io error: "},
        {"text length far beyond the payload", request_head() + hex("05 fd ff ff ff ff ff ff ff ff"),
         WireErrorKind::TextPastEnd, "io error: "},
        {"text length byte 254", request_head() + hex("05 fe"), WireErrorKind::U128Range, u128},
        {"query without prefix tag", query_data, WireErrorKind::UnexpectedEof, eof},
        {"prefix tag 2", query_data + hex("02"), WireErrorKind::InvalidOptionTag, "tag for enum is not valid, found 2"},
        {"prefix tag 255", query_data + hex("ff"), WireErrorKind::InvalidOptionTag,
         "tag for enum is not valid, found 255"},
        {"prefix present without text", query_data + hex("01"), WireErrorKind::UnexpectedEof, eof},
        {"subscribe prefix tag 2", request_head() + hex("08 00 02"), WireErrorKind::InvalidOptionTag,
         "tag for enum is not valid, found 2"},
        {"text of one byte ff", request_head() + hex("05 01 ff 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"text ending inside a sequence", request_head() + hex("05 03 61 62 e2 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: incomplete utf-8 byte sequence from index 2"},
        {"bad second byte", request_head() + hex("05 03 e2 28 a1 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"bad third byte", request_head() + hex("05 04 61 e2 82 41 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 2 bytes from index 1"},
        {"bad fourth byte", request_head() + hex("05 04 f0 9f 98 41 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 3 bytes from index 0"},
        {"surrogate", request_head() + hex("05 03 ed a0 80 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"overlong form", request_head() + hex("05 02 c0 80 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"above U+10FFFF", request_head() + hex("05 04 f4 90 80 80 00"), WireErrorKind::InvalidUtf8,
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"bad key of an inject", request_head() + hex("04 04") + ascii("data") + hex("01 80 00"),
         WireErrorKind::InvalidUtf8, "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
        {"request with a byte left over", request_head() + hex("00 00"), WireErrorKind::TrailingBytes, trailing},
        {"query with a byte left over", query_data + hex("00 00"), WireErrorKind::TrailingBytes, trailing},
        {"cancel with a byte left over", cancel_head + hex("05 00"), WireErrorKind::TrailingBytes, trailing},
    };
    for (const Case& c : cases) {
        auto message = decode_client_message(c.payload, kNow);
        ASSERT_FALSE(message.has_value()) << c.name;
        EXPECT_EQ(message.error().detail, c.detail) << c.name;
        EXPECT_EQ(message.error().kind, c.kind) << c.name;
    }
}

}  // namespace
}  // namespace quillfern::tarpc_service
