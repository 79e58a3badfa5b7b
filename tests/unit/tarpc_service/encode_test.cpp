// Responses to exact payload bytes and frames, and the frame limit on the write side.
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "quillfern/tarpc_service.hpp"
#include "wire_bytes.hpp"

namespace quillfern::tarpc_service {
namespace {

using testing::ascii;
using testing::Bytes;
using testing::hex;
using testing::operator+;
using testing::to_hex;
using Reply = QuillFernServiceResponse;

TEST(EncodeTest, WorkedExampleReplyFrame) {
    const Response response{5, Reply{Reply::GossipQuery{R"({"count":0,"entries":[]})"}}};
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(append_response_frame(out, response).has_value());
    EXPECT_EQ(to_hex(out),
              "00 00 00 1c 05 00 05 18 7b 22 63 6f 75 6e 74 22 3a 30 2c 22 65 6e 74 72 69 65 73 22 3a 5b "
              "5d 7d");
}

TEST(EncodeTest, EveryReplyVariantAndTheErrorForm) {
    const CapabilityList capabilities{"quillFern", "0.1.0", {"a.b", "c"}};
    struct Case {
        std::string_view name;
        Response response;
        Bytes payload;
    };
    const Case cases[] = {
        {"liveness true", {7, Reply{Reply::HealthLiveness{true}}}, hex("07 00 00 01")},
        {"liveness false", {7, Reply{Reply::HealthLiveness{false}}}, hex("07 00 00 00")},
        {"readiness true", {7, Reply{Reply::HealthReadiness{true}}}, hex("07 00 01 01")},
        {"health check",
         {7, Reply{Reply::HealthCheck{{"Healthy", "quillFern", "0.1.0"}}}},
         hex("07 00 02 07") + ascii("Healthy") + hex("09") + ascii("quillFern") + hex("05") + ascii("0.1.0")},
        {"capabilities",
         {7, Reply{Reply::CapabilitiesList{capabilities}}},
         hex("07 00 03 09") + ascii("quillFern") + hex("05") + ascii("0.1.0") + hex("02 03") + ascii("a.b") +
             hex("01") + ascii("c")},
        {"capabilities without methods", {7, Reply{Reply::CapabilitiesList{{"", "", {}}}}}, hex("07 00 03 00 00 00")},
        {"inject",
         {7, Reply{Reply::GossipInject{R"({"result":"Accepted"})"}}},
         hex("07 00 04 15") + ascii(R"({"result":"Accepted"})")},
        {"query", {7, Reply{Reply::GossipQuery{"{}"}}}, hex("07 00 05 02 7b 7d")},
        {"status", {7, Reply{Reply::GossipStatus{"{}"}}}, hex("07 00 06 02 7b 7d")},
        {"peers", {7, Reply{Reply::GossipPeers{"{}"}}}, hex("07 00 07 02 7b 7d")},
        {"subscribe", {7, Reply{Reply::GossipSubscribe{""}}}, hex("07 00 08 00")},
        {"long text",
         {7, Reply{Reply::GossipQuery{std::string(251, 'x')}}},
         hex("07 00 05 fb fb 00") + Bytes(251, 'x')},
        {"request id 251", {251, Reply{Reply::HealthLiveness{true}}}, hex("fb fb 00 00 00 01")},
        {"request id 2^32",
         {4'294'967'296, Reply{Reply::HealthLiveness{true}}},
         hex("fd 00 00 00 00 01 00 00 00 00 00 01")},
        {"error InvalidInput",
         {7, ServerError{ServerErrorKind::InvalidInput, "bad"}},
         hex("07 01 16 03") + ascii("bad")},
        {"error NotFound", {7, ServerError{ServerErrorKind::NotFound, ""}}, hex("07 01 00 00")},
        {"error UnexpectedEof", {7, ServerError{ServerErrorKind::UnexpectedEof, ""}}, hex("07 01 22 00")},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(to_hex(encode_response(c.response)), to_hex(c.payload)) << c.name;
        EXPECT_EQ(encoded_size(c.response), c.payload.size()) << c.name;
        std::vector<std::uint8_t> frame;
        ASSERT_TRUE(append_response_frame(frame, c.response).has_value()) << c.name;
        ASSERT_EQ(frame.size(), c.payload.size() + 4) << c.name;
        EXPECT_EQ(to_hex(std::span(frame).subspan(4)), to_hex(c.payload)) << c.name;
    }
}

TEST(EncodeTest, FramesAppendAfterWhatTheBufferHolds) {
    std::vector<std::uint8_t> out = hex("aa");
    ASSERT_TRUE(append_response_frame(out, {1, Reply{Reply::HealthLiveness{true}}}).has_value());
    ASSERT_TRUE(append_frame(out, hex("01 02")).has_value());
    ASSERT_TRUE(append_frame(out, {}).has_value());
    EXPECT_EQ(to_hex(out), "aa 00 00 00 04 01 00 00 01 00 00 00 02 01 02 00 00 00 00");
}

TEST(EncodeTest, APayloadOfEightMebibytesIsFramedOneByteMoreIsNot) {
    // Request id, result tag, variant index and the five-byte text length: 8 bytes.
    const std::size_t text_length = kMaxFrameLength - 8;
    Response response{1, Reply{Reply::GossipQuery{std::string(text_length, 'x')}}};
    ASSERT_EQ(encoded_size(response), kMaxFrameLength);
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(append_response_frame(out, response).has_value());
    EXPECT_EQ(to_hex(std::span(out).first(4)), "00 80 00 00");
    EXPECT_EQ(out.size(), kMaxFrameLength + 4);

    std::get<Reply>(response.message) = Reply{Reply::GossipQuery{std::string(text_length + 1, 'x')}};
    out = hex("aa");
    auto too_big = append_response_frame(out, response);
    ASSERT_FALSE(too_big.has_value());
    EXPECT_EQ(too_big.error(), (WireError{WireErrorKind::FrameTooBig, "frame size too big"}));
    EXPECT_EQ(to_hex(out), "aa");  // nothing of it written

    const std::vector<std::uint8_t> payload(kMaxFrameLength + 1);
    auto raw = append_frame(out, payload);
    ASSERT_FALSE(raw.has_value());
    EXPECT_EQ(raw.error().detail, "frame size too big");
    EXPECT_EQ(to_hex(out), "aa");
}

}  // namespace
}  // namespace quillfern::tarpc_service
