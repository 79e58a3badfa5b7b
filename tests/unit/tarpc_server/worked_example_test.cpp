// The wire protocol's worked example end to end: the request's frame bytes through the
// frame reader, the decoder and the service to the reply's frame bytes.
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/gossip_store.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"

namespace quillfern::tarpc_server {
namespace {

using namespace tarpc_service;

std::vector<std::uint8_t> bytes(std::initializer_list<int> values) {
    std::vector<std::uint8_t> out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

TEST(WorkedExampleTest, QueryFrameInReplyFrameOut) {
    const std::vector<std::uint8_t> request_frame = bytes({
        0x00, 0x00, 0x00, 0x29,                                                                          // header: 41
        0x00,                                                                                            // Request
        0x0a, 0x00,                                                                                      // 10 s, 0 ns
        0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f,  // trace id
        0xfb, 0x2c, 0x01,                                                                                // span id 300
        0x00,                                                                                            // Sampled
        0x05,                                                                                            // id 5
        0x05,                                                                                            // GossipQuery
        0x04, 0x64, 0x61, 0x74, 0x61,                                                                    // "data"
        0x01, 0x09, 0x65, 0x6e, 0x64, 0x70, 0x6f, 0x69, 0x6e, 0x74, 0x2e,  // Some("endpoint.")
    });
    const std::vector<std::uint8_t> reply_frame = bytes({
        0x00, 0x00, 0x00, 0x1c,  // header: 28
        0x05,                    // request id 5
        0x00,                    // success
        0x05,                    // GossipQuery
        0x18, 0x7b, 0x22, 0x63, 0x6f, 0x75, 0x6e, 0x74, 0x22, 0x3a, 0x30, 0x2c, 0x22,
        0x65, 0x6e, 0x74, 0x72, 0x69, 0x65, 0x73, 0x22, 0x3a, 0x5b, 0x5d, 0x7d,  // {"count":0,"entries":[]}
    });

    auto store = std::make_shared<gossip::GossipStore>("gate-a");
    ASSERT_TRUE(store->start().has_value());
    const QuillFernTarpcServer server(store);

    FrameReader reader;
    reader.append(request_frame);
    auto payload = reader.next();
    ASSERT_TRUE(payload.has_value() && payload->has_value());
    const MonotonicClock::time_point now = MonotonicClock::now();
    auto message = decode_client_message(**payload, now);
    ASSERT_TRUE(message.has_value()) << message.error().detail;
    const Request& request = std::get<Request>(*message);
    EXPECT_EQ(request.context.deadline, now + std::chrono::seconds(10));
    EXPECT_EQ(trace_id_text(request.context.trace_context.trace_id), "f0e0d0c0b0a09080706050403020100");

    std::vector<std::uint8_t> out;
    ASSERT_TRUE(
        append_response_frame(out, Response{request.id, server.serve(request.context, request.message)}).has_value());
    EXPECT_EQ(out, reply_frame);
    EXPECT_TRUE(reader.finish().has_value());
}

}  // namespace
}  // namespace quillfern::tarpc_server
