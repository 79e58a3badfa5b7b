// The table of requests in flight: duplicates, cancellation, expiry in deadline order,
// forgetting answered requests, and aborting everything when the table goes.
#include <chrono>
#include <cstdint>
#include <memory>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "in_flight.hpp"
#include "quillfern/log.hpp"

namespace quillfern::tarpc_server {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using Clock = DeadlineQueue::Clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

log::Span span_for(std::uint64_t id) {
    log::Span span = QF_SPAN(log::Level::Info, "tarpc::server", "RPC");
    span.record(log::number("id", id));
    return span;
}

class InFlightTest : public ::testing::Test {
protected:
    Clock::time_point t0 = Clock::now();
    log::testing::Capture capture{"trace"};
    InFlightRequests table{t0};

    std::shared_ptr<AbortSignal> start(std::uint64_t id, Clock::duration remaining, Clock::duration at = {}) {
        return table.start_request(id, remaining, span_for(id), t0 + at);
    }
    InFlightRequests::Polled poll(Clock::duration at) { return table.poll_expired(t0 + at); }
};

TEST_F(InFlightTest, DuplicateIdIsRefusedAndTheFirstRequestKeepsItsDeadline) {
    auto first = start(7, milliseconds(10));
    ASSERT_TRUE(first);
    EXPECT_EQ(start(7, milliseconds(1)), nullptr);
    EXPECT_EQ(table.len(), 1u);
    EXPECT_EQ(poll(milliseconds(5)).status, InFlightRequests::Expiry::NotYet);
    EXPECT_FALSE(first->aborted);
    auto expired = poll(milliseconds(10));
    EXPECT_EQ(expired.status, InFlightRequests::Expiry::Expired);
    EXPECT_EQ(expired.id, 7u);
    EXPECT_TRUE(first->aborted);
    EXPECT_EQ(poll(milliseconds(11)).status, InFlightRequests::Expiry::Empty);
    EXPECT_THAT(capture.events(), ElementsAre("ERROR RPC{id=7}: tarpc::server::in_flight_requests: DeadlineExceeded"));
}

TEST_F(InFlightTest, ZeroTimeRemainingExpiresAtTheNextPoll) {
    // Within a millisecond: a passed deadline is not rounded up to the next one.
    auto abort = start(1, Clock::duration::zero(), microseconds(300));
    EXPECT_EQ(table.len(), 1u);
    auto expired = poll(microseconds(300));
    EXPECT_EQ(expired.status, InFlightRequests::Expiry::Expired);
    EXPECT_TRUE(abort->aborted);
    EXPECT_EQ(table.len(), 0u);
    EXPECT_EQ(table.remove_request(1), std::nullopt);
}

TEST_F(InFlightTest, CancelTwiceAbortsAndLogsOnce) {
    auto abort = start(3, std::chrono::seconds(10));
    EXPECT_TRUE(table.cancel_request(3));
    EXPECT_TRUE(abort->aborted);
    EXPECT_FALSE(table.cancel_request(3));
    EXPECT_EQ(table.remove_request(3), std::nullopt);
    EXPECT_EQ(poll(std::chrono::seconds(20)).status, InFlightRequests::Expiry::Empty);  // its deadline went with it
    EXPECT_THAT(capture.events(), ElementsAre(" INFO RPC{id=3}: tarpc::server::in_flight_requests: ReceiveCancel"));
}

TEST_F(InFlightTest, RemoveForgetsWithoutAbortingAndTheIdStartsAnew) {
    auto abort = start(4, std::chrono::seconds(1));
    auto span = table.remove_request(4);
    ASSERT_TRUE(span.has_value());
    EXPECT_TRUE(*span);
    EXPECT_FALSE(abort->aborted);
    EXPECT_EQ(poll(std::chrono::seconds(2)).status, InFlightRequests::Expiry::Empty);
    EXPECT_TRUE(start(4, std::chrono::seconds(1)));
    EXPECT_THAT(capture.events(), IsEmpty());
}

TEST_F(InFlightTest, DeadlinesExpireInDueOrderAndNeverEarly) {
    start(1, milliseconds(10));
    start(2, milliseconds(5));
    start(3, microseconds(1200));  // due at 2 ms: rounded up, never early
    EXPECT_EQ(table.next_deadline(), t0 + milliseconds(2));
    EXPECT_EQ(poll(microseconds(1999)).status, InFlightRequests::Expiry::NotYet);
    std::vector<std::uint64_t> order;
    for (auto at : {milliseconds(2), milliseconds(5), milliseconds(10)}) {
        auto polled = poll(at);
        ASSERT_EQ(polled.status, InFlightRequests::Expiry::Expired);
        order.push_back(polled.id);
    }
    EXPECT_THAT(order, ElementsAre(3u, 2u, 1u));
}

TEST_F(InFlightTest, FarDeadlinesAreClampedToTheHorizon) {
    auto abort = start(9, Clock::duration::max(), std::chrono::seconds(1));
    ASSERT_TRUE(abort);
    EXPECT_EQ(table.next_deadline(), t0 + std::chrono::seconds(1) + milliseconds(DeadlineQueue::kHorizonMs));
    EXPECT_EQ(poll(std::chrono::hours(24 * 700)).status, InFlightRequests::Expiry::NotYet);
    EXPECT_FALSE(abort->aborted);
}

TEST_F(InFlightTest, AbortRunsTheCallbackOnce) {
    auto abort = start(5, std::chrono::seconds(1));
    int calls = 0;
    abort->on_abort = [&calls] { ++calls; };
    table.cancel_request(5);
    abort->abort();
    EXPECT_EQ(calls, 1);
}

TEST(InFlightDrop, DroppingTheTableAbortsEveryRequestSilently) {
    log::testing::Capture capture("trace");
    std::vector<std::shared_ptr<AbortSignal>> aborts;
    {
        InFlightRequests table;
        for (std::uint64_t id : {1, 2, 3})
            aborts.push_back(table.start_request(id, std::chrono::seconds(5), span_for(id)));
    }
    for (const auto& a : aborts) EXPECT_TRUE(a->aborted);
    EXPECT_THAT(capture.events(), IsEmpty());
}

TEST(InFlightCompaction, TableGivesMemoryBackAsItEmpties) {
    InFlightRequests table;
    for (std::uint64_t id = 0; id < 20000; ++id) table.start_request(id, std::chrono::seconds(5), {});
    EXPECT_GE(table.bucket_count(), 20000u);
    for (std::uint64_t id = 0; id < 20000; ++id) table.remove_request(id);
    EXPECT_EQ(table.len(), 0u);
    EXPECT_LE(table.bucket_count(), 2000u + 100u);
}

}  // namespace
}  // namespace quillfern::tarpc_server
