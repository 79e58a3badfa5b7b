// Spans: the prefix they give the lines of events raised inside them, and how the
// filter leaves them out.
#include <string>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "quillfern/log.hpp"

namespace quillfern::log {
namespace {

using ::testing::ElementsAre;

Span request_span() {
    Span span = QF_SPAN(Level::Info, "tarpc::server", "RPC");
    span.record(text("rpc.trace_id", "f0e"));
    span.record(text("rpc.deadline", "2026-03-01T08:15:52.061207Z"));
    span.record(quoted("otel.kind", "server"));
    return span;
}

TEST(Span, EventsInsideCarryTheSpanBetweenLevelAndTarget) {
    testing::Capture capture("info");
    Span span = request_span();
    ASSERT_TRUE(span);
    {
        auto entered = span.enter();
        QF_LOG(Level::Info, "tarpc::server", "ReceiveRequest");
        span.record(quoted("otel.name", "QuillFernService.gossip_query"));
        QF_LOG(Level::Warn, "quillfern_core::gossip", "from another target", number("ttl", 7));
    }
    QF_LOG(Level::Info, "tarpc::server", "after");
    EXPECT_THAT(
        capture.events(),
        ElementsAre(" INFO RPC{rpc.trace_id=f0e rpc.deadline=2026-03-01T08:15:52.061207Z otel.kind=\"server\"}: "
                    "tarpc::server: ReceiveRequest",
                    " WARN RPC{rpc.trace_id=f0e rpc.deadline=2026-03-01T08:15:52.061207Z otel.kind=\"server\" "
                    "otel.name=\"QuillFernService.gossip_query\"}: quillfern_core::gossip: from another target ttl=7",
                    " INFO tarpc::server: after"));
}

TEST(Span, NestedSpansOutermostFirstAndSpansWithoutFields) {
    testing::Capture capture("trace");
    Span outer = QF_SPAN(Level::Info, "a", "outer");
    outer.record(number("n", 1));
    Span inner = QF_SPAN(Level::Trace, "a", "inner");
    {
        auto e1 = outer.enter();
        {
            auto e2 = inner.enter();
            QF_LOG(Level::Debug, "t", "both");
        }
        QF_LOG(Level::Debug, "t", "outer only");
    }
    EXPECT_THAT(capture.events(), ElementsAre("DEBUG outer{n=1}:inner: t: both", "DEBUG outer{n=1}: t: outer only"));
}

// A span the filter leaves out is empty: nothing recorded, and the events that still
// pass are written without it.
TEST(Span, FilteredOutSpanIsEmptyAndLeavesNoPrefix) {
    struct Case {
        const char* filter;
        const char* written;
    };
    const Case cases[] = {
        {"warn", "ERROR tarpc::server::in_flight_requests: DeadlineExceeded"},
        {"info,tarpc=off,tarpc::server::in_flight_requests=error",
         "ERROR tarpc::server::in_flight_requests: DeadlineExceeded"},
        {"tarpc::server::in=trace", "ERROR tarpc::server::in_flight_requests: DeadlineExceeded"},
    };
    for (const Case& c : cases) {
        testing::Capture capture(c.filter);
        Span span = request_span();
        EXPECT_FALSE(span) << c.filter;
        {
            auto entered = span.enter();
            QF_LOG(Level::Info, "tarpc::server", "ReceiveRequest");
            QF_LOG(Level::Error, "tarpc::server::in_flight_requests", "DeadlineExceeded");
        }
        EXPECT_THAT(capture.events(), ElementsAre(c.written)) << c.filter;
    }
}

TEST(Span, EnteredOnOneThreadOnly) {
    testing::Capture capture("info");
    Span span = request_span();
    auto entered = span.enter();
    std::thread other([] { QF_LOG(Level::Info, "t", "elsewhere"); });
    other.join();
    EXPECT_THAT(capture.events(), ElementsAre(" INFO t: elsewhere"));
}

TEST(Span, ColouredPrefixPaintsNameBracesColonAndFieldNames) {
    testing::Capture capture("info");
    Span span = QF_SPAN(Level::Info, "tarpc::server", "RPC");
    span.record(text("rpc.trace_id", "2a"));
    span.record(quoted("otel.kind", "server"));
    Span bare = QF_SPAN(Level::Info, "tarpc::server", "Bare");
    std::string out;
    append_span_prefix(out, true);
    EXPECT_EQ(out, "");
    auto e1 = span.enter();
    auto e2 = bare.enter();
    append_span_prefix(out, true);
    EXPECT_EQ(out,
              "\x1b[1mRPC\x1b[0m\x1b[1m{\x1b[0m\x1b[3mrpc.trace_id\x1b[0m\x1b[2m=\x1b[0m2a "
              "\x1b[3motel.kind\x1b[0m\x1b[2m=\x1b[0m\"server\"\x1b[1m}\x1b[0m\x1b[2m:\x1b[0m"
              "\x1b[1mBare\x1b[0m\x1b[2m:\x1b[0m ");
}

TEST(Span, FormatLineWritesThePrefixAfterTheLevel) {
    std::string line;
    format_line(line, Level::Info, "tarpc::server", "SendResponse", {}, false, "2026-03-01T08:15:42.061207Z",
                "RPC{otel.kind=\"server\"}: ");
    EXPECT_EQ(line, "2026-03-01T08:15:42.061207Z  INFO RPC{otel.kind=\"server\"}: tarpc::server: SendResponse\n");
}

}  // namespace
}  // namespace quillfern::log
