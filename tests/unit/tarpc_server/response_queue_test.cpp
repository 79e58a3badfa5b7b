// The finished responses of one connection: completion order, the bounded queue with the
// responses waiting behind it, aborts of waiting responses, and the bytes held.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillfern/log.hpp"
#include "response_queue.hpp"

namespace quillfern::tarpc_server {
namespace {

using ::testing::ElementsAre;
using Reply = tarpc_service::QuillFernServiceResponse;

tarpc_service::Response response(std::uint64_t id, std::string json = R"({"result":"Accepted"})") {
    return {id, Reply{Reply::GossipInject{std::move(json)}}};
}

std::string buffered(std::uint64_t id) {
    return " INFO RPC{id=" + std::to_string(id) + "}: tarpc::server: BufferResponse";
}

class ResponseQueueTest : public ::testing::Test {
protected:
    // Offers the response of request `id`; gives the request's abort signal.
    std::shared_ptr<AbortSignal> offer(std::uint64_t id, std::string json = R"({"result":"Accepted"})") {
        log::Span span = QF_SPAN(log::Level::Info, "tarpc::server", "RPC");
        span.record(log::number("id", id));
        auto abort = std::make_shared<AbortSignal>();
        queue.offer(response(id, std::move(json)), std::move(span), std::shared_ptr<AbortSignal>(abort));
        return abort;
    }
    // Offers requests first..last in order.
    std::vector<std::shared_ptr<AbortSignal>> offer_range(std::uint64_t first, std::uint64_t last) {
        std::vector<std::shared_ptr<AbortSignal>> aborts;
        for (std::uint64_t id = first; id <= last; ++id) aborts.push_back(offer(id));
        return aborts;
    }
    std::vector<std::uint64_t> take_all() {
        std::vector<std::uint64_t> ids;
        while (auto next = queue.take()) ids.push_back(next->request_id);
        return ids;
    }
    std::size_t count(const std::string& line) const {
        std::size_t n = 0;
        for (const std::string& e : capture.events()) n += e == line ? 1 : 0;
        return n;
    }

    log::testing::Capture capture{"trace"};
    ResponseQueue queue;
};

TEST_F(ResponseQueueTest, ResponsesLeaveInTheOrderTheyCameAndCountTheirEncodedBytes) {
    offer(3, "{}");
    offer(1, std::string(300, 'x'));
    EXPECT_EQ(queue.bytes(), tarpc_service::encoded_size(response(3, "{}")) +
                                 tarpc_service::encoded_size(response(1, std::string(300, 'x'))));
    EXPECT_THAT(capture.events(), ElementsAre(buffered(3), buffered(1)));
    auto first = queue.take();
    ASSERT_TRUE(first);
    EXPECT_EQ(*first, response(3, "{}"));
    EXPECT_EQ(queue.bytes(), tarpc_service::encoded_size(response(1, std::string(300, 'x'))));
    EXPECT_EQ(queue.take()->request_id, 1u);
    EXPECT_EQ(queue.take(), std::nullopt);
    EXPECT_EQ(queue.bytes(), 0u);
}

TEST_F(ResponseQueueTest, BeyondTheQueuesSlotsResponsesWaitAndEnterOneForEachTaken) {
    offer_range(1, kPendingResponseBuffer + 2);
    EXPECT_EQ(queue.queued(), kPendingResponseBuffer);
    EXPECT_EQ(queue.waiting(), 2u);
    EXPECT_EQ(count(buffered(kPendingResponseBuffer + 1)), 0u);
    // A slot freed: the first waiting response enters it, and logs as it does.
    EXPECT_EQ(queue.take()->request_id, 1u);
    EXPECT_EQ(count(buffered(kPendingResponseBuffer + 1)), 1u);
    EXPECT_EQ(count(buffered(kPendingResponseBuffer + 2)), 0u);
    // A response that finishes now waits behind the one still waiting, though a slot is free.
    queue.take();
    offer(500);
    EXPECT_EQ(queue.waiting(), 1u);
    std::vector<std::uint64_t> expected;
    for (std::uint64_t id = 3; id <= kPendingResponseBuffer + 2; ++id) expected.push_back(id);
    expected.push_back(500);
    EXPECT_EQ(take_all(), expected);
    EXPECT_EQ(queue.bytes(), 0u);
    EXPECT_EQ(capture.events().size(), kPendingResponseBuffer + 3);
}

TEST_F(ResponseQueueTest, AnAbortDropsAWaitingResponseButNotAQueuedOne) {
    auto aborts = offer_range(1, kPendingResponseBuffer + 3);
    const std::size_t held = queue.bytes();
    aborts[0]->abort();                           // queued: the connection drops it when it takes it
    aborts[kPendingResponseBuffer + 1]->abort();  // the second waiting one
    EXPECT_EQ(queue.waiting(), 2u);
    EXPECT_EQ(queue.bytes(), held - tarpc_service::encoded_size(response(kPendingResponseBuffer + 2)));
    std::vector<std::uint64_t> ids = take_all();
    EXPECT_EQ(ids.size(), kPendingResponseBuffer + 2);
    EXPECT_EQ(ids.front(), 1u);
    EXPECT_EQ(ids.back(), kPendingResponseBuffer + 3);
    EXPECT_THAT(ids, ::testing::Not(::testing::Contains(kPendingResponseBuffer + 2)));
    EXPECT_EQ(count(buffered(kPendingResponseBuffer + 2)), 0u);
    EXPECT_EQ(queue.bytes(), 0u);
}

TEST_F(ResponseQueueTest, ClearDropsEverythingSilentlyAndLaterAbortsFindNothing) {
    auto aborts = offer_range(1, kPendingResponseBuffer + 2);
    const std::size_t lines = capture.events().size();
    queue.clear();
    EXPECT_EQ(queue.bytes(), 0u);
    EXPECT_EQ(queue.take(), std::nullopt);
    // The waiting requests' aborts come after the queue let them go.
    for (auto& abort : aborts) abort->abort();
    EXPECT_EQ(capture.events().size(), lines);
    offer(7);
    EXPECT_EQ(queue.take()->request_id, 7u);
}

TEST(ResponseQueueDrop, DestroyingTheQueueLeavesWaitingAbortsHarmless) {
    std::vector<std::shared_ptr<AbortSignal>> aborts;
    {
        ResponseQueue queue;
        for (std::uint64_t id = 1; id <= kPendingResponseBuffer + 1; ++id) {
            aborts.push_back(std::make_shared<AbortSignal>());
            queue.offer(response(id), log::Span(), std::shared_ptr<AbortSignal>(aborts.back()));
        }
    }
    for (auto& abort : aborts) {
        EXPECT_FALSE(abort->on_abort);
        abort->abort();
    }
}

}  // namespace
}  // namespace quillfern::tarpc_server
