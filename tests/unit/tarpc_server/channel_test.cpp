// One binary RPC connection in process, over a socket pair: the connection's task runs on
// the test's own event loop, which runs until the connection waits on its client, so each
// case sees what the connection did with what the client sent so far. Deadlines,
// cancellations, duplicates, the bounds on what a client that stops reading makes the
// connection hold, and the ends of a half-closed client, with their exact log lines.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <asio/co_spawn.hpp>

#include "channel.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/log.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"
#include "socket_pair.hpp"

namespace quillfern::tarpc_server {
namespace {

using tarpc_service::MonotonicClock;
using ServiceRequest = tarpc_service::QuillFernServiceRequest;
using Bytes = std::string;
using ::testing::Contains;
using ::testing::Each;
using ::testing::Not;
using ::testing::StartsWith;

constexpr std::size_t kMiB = 1024 * 1024;
const std::string kSpan = "RPC{rpc.trace_id=f0e0d0c0b0a09080706050403020100 rpc.deadline=T otel.kind=\"server\"";
const std::string kStreamError = " WARN tarpc::server: Requests stream errored out: ";

// Trace id bytes 00 01 .. 0f (least significant first): "f0e0d0c0b0a09080706050403020100".
tarpc_service::TraceId counting_trace_id() {
    tarpc_service::TraceId id{};
    for (std::uint8_t i = 0; i < 16; ++i) id[i] = i;
    return id;
}

tarpc_service::TraceId trace_id_of(std::uint8_t low) {
    tarpc_service::TraceId id{};
    id[0] = low;
    return id;
}

struct RequestOptions {
    MonotonicClock::duration deadline = std::chrono::seconds(10);  // from the time it is encoded
    tarpc_service::TraceId trace_id = counting_trace_id();
};

RequestOptions past_deadline(std::uint8_t trace_low) {
    return {MonotonicClock::duration::zero(), trace_id_of(trace_low)};
}

Bytes framed(const tarpc_service::ClientMessage& message) {
    const MonotonicClock::time_point now = MonotonicClock::now();
    std::vector<std::uint8_t> out;
    EXPECT_TRUE(tarpc_service::append_frame(out, tarpc_service::encode_client_message(message, now)).has_value());
    return Bytes(out.begin(), out.end());
}

Bytes request(std::uint64_t id, ServiceRequest call, const RequestOptions& options = {}) {
    tarpc_service::Request request;
    request.id = id;
    request.context.deadline = MonotonicClock::now() + options.deadline;
    request.context.trace_context.trace_id = options.trace_id;
    request.context.trace_context.span_id = 300;
    request.message = std::move(call);
    return framed(request);
}

Bytes cancel(std::uint64_t id) {
    tarpc_service::Cancel cancel;
    cancel.trace_context.trace_id = counting_trace_id();
    cancel.request_id = id;
    return framed(cancel);
}

namespace call {
ServiceRequest health_liveness() { return {ServiceRequest::HealthLiveness{}}; }
ServiceRequest health_readiness() { return {ServiceRequest::HealthReadiness{}}; }
ServiceRequest gossip_status() { return {ServiceRequest::GossipStatus{}}; }
ServiceRequest gossip_peers() { return {ServiceRequest::GossipPeers{}}; }
ServiceRequest gossip_inject(std::string topic, std::string key, std::string payload) {
    return {ServiceRequest::GossipInject{std::move(topic), std::move(key), std::move(payload)}};
}
ServiceRequest gossip_query(std::string topic, std::optional<std::string> key_prefix = std::nullopt) {
    return {ServiceRequest::GossipQuery{std::move(topic), std::move(key_prefix)}};
}
ServiceRequest gossip_subscribe(std::string topic, std::optional<std::string> key_prefix) {
    return {ServiceRequest::GossipSubscribe{std::move(topic), std::move(key_prefix)}};
}
}  // namespace call

// One response frame as the client reads it: its request id and, for the reply of a
// gossip operation, its JSON text.
struct Response {
    std::uint64_t id = 0;
    std::string json;
};

// Reads bincode's variable-length integers and texts off the front of `bytes`.
class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    std::uint64_t uint() {
        const auto first = static_cast<std::uint8_t>(take(1)[0]);
        const std::size_t width = first == 251 ? 2 : first == 252 ? 4 : first == 253 ? 8 : 0;
        if (width == 0) return first;
        const std::string_view little_endian = take(width);
        std::uint64_t value = 0;
        for (std::size_t i = width; i-- > 0;) value = (value << 8) | static_cast<std::uint8_t>(little_endian[i]);
        return value;
    }
    std::string_view text() { return take(uint()); }

private:
    std::string_view take(std::size_t n) {
        if (n > bytes_.size()) throw std::runtime_error("response too short");
        const std::string_view head = bytes_.substr(0, n);
        bytes_.remove_prefix(n);
        return head;
    }
    std::string_view bytes_;
};

Response parse_response(std::string_view payload) {
    Reader reader(payload);
    Response response;
    response.id = reader.uint();
    EXPECT_EQ(reader.uint(), 0u);  // success
    const std::uint64_t variant = reader.uint();
    if (variant >= 4) response.json = std::string(reader.text());
    return response;
}

std::vector<std::uint64_t> ids_of(const std::vector<Response>& replies) {
    std::vector<std::uint64_t> ids;
    for (const Response& reply : replies) ids.push_back(reply.id);
    return ids;
}

// The connection's task on the test's event loop, and its client.
class Connection {
public:
    // A connection that shares `budget` with the others that do.
    explicit Connection(detail::ReplyBudget& budget = detail::process_reply_budget()) {
        EXPECT_TRUE(store->start().has_value());
        pair.client.non_blocking(true);
        asio::co_spawn(pair.io, detail::serve_connection(std::move(pair.server), QuillFernTarpcServer(store), budget),
                       [this](std::exception_ptr e) {
                           failure = e;
                           ended = true;
                       });
        settle();
    }
    ~Connection() {
        // A connection still open goes with its client.
        pair.client.close();
        run_until([this] { return ended; });
    }

    // Runs the connection until nothing is ready to run: it waits on its client or a
    // timer. Gives whether anything ran.
    bool settle() {
        bool ran = false;
        while (pair.io.poll() > 0) ran = true;
        pair.io.restart();
        return ran;
    }
    // Runs the connection until `done()` holds, for at most ten seconds.
    template <class Done>
    bool run_until(const Done& done) {
        const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (!done()) {
            if (std::chrono::steady_clock::now() > give_up) return false;
            pair.io.run_one_for(std::chrono::milliseconds(10));
            pair.io.restart();
        }
        return true;
    }

    // Writes what the client's socket takes while the connection runs; gives the bytes it took.
    std::size_t send(std::string_view bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            std::error_code ec;
            sent += pair.client.write_some(asio::buffer(bytes.data() + sent, bytes.size() - sent), ec);
            if (ec && ec != asio::error::would_block) break;
            if (ec && !settle()) break;
        }
        settle();
        return sent;
    }
    // The replies that came, read while the connection runs until it has nothing more to give.
    std::vector<Response> receive() {
        for (;;) {
            char chunk[64 * 1024];
            std::error_code ec;
            const std::size_t n = pair.client.read_some(asio::buffer(chunk), ec);
            if (!ec) {
                unread.append(chunk, n);
                continue;
            }
            if (ec != asio::error::would_block || !settle()) break;
        }
        std::vector<Response> replies;
        while (unread.size() >= 4) {
            const std::size_t length = (std::size_t{static_cast<std::uint8_t>(unread[0])} << 24) |
                                       (std::size_t{static_cast<std::uint8_t>(unread[1])} << 16) |
                                       (std::size_t{static_cast<std::uint8_t>(unread[2])} << 8) |
                                       std::size_t{static_cast<std::uint8_t>(unread[3])};
            if (unread.size() < 4 + length) break;
            replies.push_back(parse_response(std::string_view(unread).substr(4, length)));
            unread.erase(0, 4 + length);
        }
        return replies;
    }
    // The client closes its sending side; the connection runs to its end.
    std::vector<Response> end_input() {
        pair.end_input();
        std::vector<Response> replies = receive();
        EXPECT_TRUE(run_until([this] { return ended; }));
        EXPECT_FALSE(failure);
        for (Response& reply : receive()) replies.push_back(std::move(reply));
        return replies;
    }

    // The connection's log lines so far, each deadline's text as "T".
    std::vector<std::string> events() const {
        constexpr std::string_view kDeadline = "rpc.deadline=";
        std::vector<std::string> lines;
        for (std::string line : capture.events()) {
            if (line.find("tarpc::server") == std::string::npos) continue;
            if (const std::size_t at = line.find(kDeadline); at != std::string::npos) {
                const std::size_t from = at + kDeadline.size();
                line.replace(from, line.find_first_of(" }", from) - from, "T");
            }
            lines.push_back(std::move(line));
        }
        return lines;
    }
    std::size_t count(std::string_view needle) const {
        const std::vector<std::string> lines = capture.events();
        return static_cast<std::size_t>(std::count_if(lines.begin(), lines.end(), [needle](const std::string& line) {
            return line.find(needle) != std::string::npos;
        }));
    }
    std::vector<std::string> stored_keys(gossip::Topic topic) const {
        std::vector<std::string> keys;
        for (const gossip::GossipEntry& entry : store->query(topic, std::nullopt)) {
            keys.emplace_back(gossip::text_of(entry.key));
        }
        return keys;
    }
    // `entries` entries of payloads of `size` bytes in "compute".
    void fill_compute(int entries, std::size_t size) {
        const QuillFernTarpcServer handler(store);
        for (int i = 0; i < entries; ++i) {
            ASSERT_EQ(handler.gossip_inject({}, "compute", "key-" + std::to_string(i),
                                            "\"" + std::string(size, static_cast<char>('a' + i % 26)) + "\""),
                      R"({"result":"Accepted"})");
        }
    }

    log::testing::Capture capture{"trace"};
    std::shared_ptr<gossip::GossipStore> store = std::make_shared<gossip::GossipStore>("gate-test");
    testing::SocketPair pair;
    bool ended = false;
    std::exception_ptr failure;
    Bytes unread;
};

// What the client sends, then (once the connection has done all it could with that) what
// it sends after, then the end of its input.
struct ExchangeCase {
    const char* what;
    Bytes first;
    Bytes then;
    std::vector<std::uint64_t> replies;  // the ids answered, in order
    std::vector<std::string> lines;      // among the log lines, deadlines as "T"
    std::vector<std::string> data_keys;  // what the store holds in "data" at the end
};

void run_exchange(const ExchangeCase& c) {
    Connection exchange;
    exchange.send(c.first);
    std::vector<Response> replies = exchange.receive();
    exchange.send(c.then);
    for (Response& reply : exchange.end_input()) replies.push_back(std::move(reply));
    EXPECT_EQ(ids_of(replies), c.replies) << c.what;
    const std::vector<std::string> lines = exchange.events();
    for (const std::string& line : c.lines) EXPECT_THAT(lines, Contains(line)) << c.what;
    EXPECT_THAT(lines, Each(Not(StartsWith(kStreamError)))) << c.what;
    EXPECT_EQ(exchange.stored_keys(gossip::Topic::Data), c.data_keys) << c.what;
}

TEST(ChannelDeadlines, ARequestPastItsDeadlineIsNeverRunNorAnswered) {
    const std::string late = "RPC{rpc.trace_id=11 rpc.deadline=T otel.kind=\"server\"}";
    const ExchangeCase cases[] = {
        {"alone",
         request(1, call::gossip_inject("data", "late", "1"), past_deadline(0x11)),
         {},
         {},
         {" INFO " + late + ": tarpc::server: ReceiveRequest", " INFO " + late + ": tarpc::server: BeginRequest",
          "ERROR " + late + ": tarpc::server::in_flight_requests: DeadlineExceeded"},
         {}},
        {"before a request in time",
         request(1, call::gossip_inject("data", "late", "1"), past_deadline(0x11)) +
             request(2, call::gossip_inject("data", "on-time", "1")),
         {},
         {2},
         {"ERROR " + late + ": tarpc::server::in_flight_requests: DeadlineExceeded",
          " INFO " + kSpan + " otel.name=\"QuillFernService.gossip_inject\"}: tarpc::server: SendResponse"},
         {"on-time"}},
        {"with the id of a request in flight, which it leaves alone",
         request(1, call::gossip_inject("data", "first", "1")) +
             request(1, call::health_liveness(), past_deadline(0x11)),
         {},
         {1},
         {"TRACE " + late + ": tarpc::server: DuplicateRequest"},
         {"first"}},
    };
    for (const ExchangeCase& c : cases) run_exchange(c);
}

TEST(ChannelCancels, ACancelledRequestIsNeverAnsweredAndAnUnknownOneIsOnlyNoted) {
    RequestOptions cancelled;
    cancelled.trace_id = trace_id_of(0x22);
    const std::string noted =
        "TRACE tarpc::server: Received cancellation, but response handler is already complete. "
        "rpc.trace_id=f0e0d0c0b0a09080706050403020100";
    const ExchangeCase cases[] = {
        {"with its request, before its task ran",
         request(1, call::gossip_inject("data", "cancelled", "1"), cancelled) + cancel(1) +
             request(2, call::health_readiness()),
         {},
         {2},
         {" INFO RPC{rpc.trace_id=22 rpc.deadline=T otel.kind=\"server\"}: tarpc::server::in_flight_requests: "
          "ReceiveCancel"},
         {}},
        {"of an id never sent", cancel(99) + request(2, call::health_liveness()), {}, {2}, {noted}, {}},
        {"after its reply",
         request(5, call::gossip_inject("data", "answered", "1")),
         cancel(5),
         {5},
         {noted},
         {"answered"}},
        {"twice",
         request(1, call::gossip_inject("data", "twice", "1")) + cancel(1) + cancel(1),
         {},
         {},
         {" INFO " + kSpan + "}: tarpc::server::in_flight_requests: ReceiveCancel", noted},
         {}},
    };
    for (const ExchangeCase& c : cases) run_exchange(c);
}

TEST(ChannelDuplicates, ADuplicateIsDroppedAndAnAnsweredIdIsNew) {
    const ExchangeCase cases[] = {
        {"while the first is in flight",
         request(1, call::health_liveness()) + request(1, call::health_readiness()),
         {},
         {1},
         {"TRACE " + kSpan + "}: tarpc::server: DuplicateRequest"},
         {}},
        {"once the first is answered",
         request(1, call::gossip_inject("data", "a", "1")),
         request(1, call::gossip_inject("data", "b", "1")),
         {1, 1},
         {},
         {"a", "b"}},
    };
    for (const ExchangeCase& c : cases) run_exchange(c);
}

// How a half-closed client ends its connection: silently once every request is answered,
// or with one warning when its input ends inside a frame or it reads no more.
TEST(ChannelHalfClosedClient, TheConnectionEndsOnceEveryRequestIsAnswered) {
    struct Case {
        const char* what;
        Bytes sent;
        bool stops_reading;
        std::vector<std::uint64_t> replies;
        std::vector<std::string> lines;  // among the log lines
        bool warned;
    };
    const Case cases[] = {
        {"three requests, then the end of its input",
         request(3, call::gossip_status()) + request(1, call::health_liveness()) + request(2, call::gossip_peers()),
         false,
         {3, 1, 2},
         {"TRACE tarpc::server: read: Poll::Ready(None), write: Poll::Ready(None)"},
         false},
        {"the end of its input at once", {}, false, {}, {}, false},
        {"the end of its input between a frame's header and its payload",
         Bytes("\x00\x00\x00\x0a", 4),
         false,
         {},
         {},
         false},
        {"the end of its input inside a frame's header, after a whole frame",
         request(1, call::health_liveness()) + Bytes("\x00\x00", 2),
         false,
         {1},
         {"TRACE tarpc::server: read: could not read from the transport: bytes remaining on stream",
          kStreamError + "could not read from the transport"},
         true},
        {"a client that reads no more",
         request(1, call::health_liveness()),
         true,
         {},
         {"TRACE tarpc::server: write: could not flush the transport: Broken pipe (os error 32)",
          kStreamError + "could not flush the transport"},
         true},
    };
    for (const Case& c : cases) {
        Connection exchange;
        if (c.stops_reading) exchange.pair.stop_reading();
        exchange.send(c.sent);
        EXPECT_EQ(ids_of(exchange.end_input()), c.replies) << c.what;
        const std::vector<std::string> lines = exchange.events();
        for (const std::string& line : c.lines) EXPECT_THAT(lines, Contains(line)) << c.what;
        EXPECT_EQ(exchange.count(kStreamError), c.warned ? 1u : 0u) << c.what;
        if (c.sent.empty()) {
            // Nothing logged above TRACE.
            EXPECT_THAT(lines, Each(StartsWith("TRACE "))) << c.what;
        }
    }
}

class ChannelTest : public ::testing::Test, public Connection {};

// A client that pipelines queries and reads nothing: the connection holds the replies
// its bounds allow and no more, stays responsive to cancellations, and loses nothing
// once the client reads.
TEST_F(ChannelTest, AClientThatStopsReadingHoldsAtMostTheResponseQueueAndGetsTheRestLater) {
    fill_compute(64, 2000);  // a query of "compute" answers with about 140 kB
    constexpr int kRequests = 150;
    Bytes batch;
    for (int id = 1; id <= kRequests; ++id) batch += request(id, call::gossip_query("compute"));
    ASSERT_EQ(send(batch), batch.size());
    // Every task ran; the replies fill the socket, the queue of 100, and a line behind it.
    EXPECT_EQ(count("gossip_query\"}: tarpc::server: CompleteRequest"), static_cast<std::size_t>(kRequests));
    EXPECT_LT(count("gossip_query\"}: tarpc::server: BufferResponse"), static_cast<std::size_t>(kRequests));
    // A cancellation of a finished reply that waits drops it.
    send(cancel(60) + cancel(140));
    EXPECT_EQ(count("tarpc::server::in_flight_requests: ReceiveCancel"), 2u);

    std::vector<std::uint64_t> expected;
    for (std::uint64_t id = 1; id <= kRequests; ++id) {
        if (id != 60 && id != 140) expected.push_back(id);
    }
    const std::vector<Response> replies = end_input();
    EXPECT_EQ(ids_of(replies), expected);
    EXPECT_THAT(replies.back().json, StartsWith(R"({"count":64,"entries":[)"));
    EXPECT_EQ(count(kStreamError), 0u);
}

TEST_F(ChannelTest, AClientThatStopsReadingIsNotReadFromBeyondTheInFlightBound) {
    fill_compute(1, 2000);
    constexpr int kRequests = 3000;
    Bytes batch;
    for (int id = 1; id <= kRequests; ++id) batch += request(id, call::gossip_query("compute"));
    std::size_t sent = send(batch);
    // Every request read and not answered is in flight: the connection reads up to the bound.
    const std::size_t received = count("tarpc::server: ReceiveRequest");
    EXPECT_EQ(received - count("tarpc::server: SendResponse"), detail::kMaxInFlightRequests);
    EXPECT_LT(received, static_cast<std::size_t>(kRequests));

    // The client reads: the connection reads the rest.
    std::vector<Response> replies;
    while (sent < batch.size()) {
        const std::vector<Response> more = receive();
        replies.insert(replies.end(), more.begin(), more.end());
        sent += send(std::string_view(batch).substr(sent));
    }
    const std::vector<Response> rest = end_input();
    replies.insert(replies.end(), rest.begin(), rest.end());
    ASSERT_EQ(replies.size(), static_cast<std::size_t>(kRequests));
    for (int id = 1; id <= kRequests; ++id) ASSERT_EQ(replies[id - 1].id, static_cast<std::uint64_t>(id));
    EXPECT_EQ(count("tarpc::server: ReceiveRequest"), static_cast<std::size_t>(kRequests));
}

TEST_F(ChannelTest, AClientThatStopsReadingHoldsItsReplyBudgetAndOneReplyMore) {
    fill_compute(13, 500'000);
    const QuillFernTarpcServer handler(store);
    const std::size_t reply_bytes = handler.gossip_query({}, "compute", std::nullopt).size();
    ASSERT_GT(reply_bytes, 6'500'000u);
    constexpr int kRequests = 14;
    Bytes batch;
    for (int id = 1; id <= kRequests; ++id) batch += request(id, call::gossip_query("compute"));
    ASSERT_EQ(send(batch), batch.size());
    // Tasks run while the replies held (all but what the client's socket took) are below
    // the budget: one reply may cross it.
    const std::size_t at_budget = (detail::kMaxWaitingReplyBytes + reply_bytes - 1) / reply_bytes;
    ASSERT_LT(at_budget + 1, static_cast<std::size_t>(kRequests));
    const std::size_t completed = count("tarpc::server: CompleteRequest");
    EXPECT_GE(completed, at_budget);
    EXPECT_LE(completed, at_budget + 1);
    EXPECT_EQ(ids_of(end_input()).size(), static_cast<std::size_t>(kRequests));
    EXPECT_EQ(count("tarpc::server: CompleteRequest"), static_cast<std::size_t>(kRequests));
}

// Clients that pipeline big queries and read nothing, each on a connection of its own
// (their request tasks waiting each in its connection's run queue), share one budget: they
// hold it and at most one reply each past it. A connection that holds no reply still has
// its requests answered, and the others go on as soon as one client reads.
TEST(ChannelSharedBudget, ClientsThatStopReadingHoldTheBudgetAndOneReplyEachAndStarveNoOne) {
    detail::ReplyBudget budget(4 * kMiB);
    constexpr int kRequests = 20;
    constexpr std::size_t kSilent = 3;
    std::vector<std::unique_ptr<Connection>> silent;
    std::size_t reply_bytes = 0;
    for (std::size_t i = 0; i < kSilent; ++i) {
        // Each connection's log lines are captured from its start until the next one's.
        auto& connection = *silent.emplace_back(std::make_unique<Connection>(budget));
        connection.fill_compute(2, 500'000);
        reply_bytes = QuillFernTarpcServer(connection.store).gossip_query({}, "compute", std::nullopt).size();
        Bytes batch;
        for (int id = 1; id <= kRequests; ++id) batch += request(id, call::gossip_query("compute"));
        ASSERT_EQ(connection.send(batch), batch.size());
    }
    ASSERT_GT(reply_bytes, 1'000'000u);
    // The first connection ran its tasks until the budget was spent; each later one ran one
    // task, holding nothing until then, and waits.
    const auto completed = [&silent](std::size_t i) { return silent[i]->count("tarpc::server: CompleteRequest"); };
    EXPECT_GE(completed(0), budget.total() / reply_bytes);
    EXPECT_LT(completed(0), static_cast<std::size_t>(kRequests));
    EXPECT_EQ(completed(1), 1u);
    EXPECT_EQ(completed(2), 1u);
    EXPECT_GE(budget.held(), budget.total());
    EXPECT_LE(budget.held(), budget.total() + kSilent * reply_bytes);

    // A client that reads is answered while the budget is spent.
    {
        Connection reading(budget);
        reading.send(request(7, call::health_liveness()));
        EXPECT_EQ(ids_of(reading.receive()), std::vector<std::uint64_t>{7});
    }
    // The first client reads everything: the others get their replies.
    EXPECT_EQ(ids_of(silent[0]->end_input()).size(), static_cast<std::size_t>(kRequests));
    for (std::size_t i = 1; i < silent.size(); ++i) {
        EXPECT_EQ(ids_of(silent[i]->end_input()).size(), static_cast<std::size_t>(kRequests)) << i;
    }
    EXPECT_EQ(budget.held(), 0u);
}

// A reply whose frame would be over the limit ends the connection without a byte of it,
// nor of the replies still waiting before it: the reply is sent off and the write fails.
// One of exactly the limit is answered.
TEST(ChannelFrameLimit, AReplyOverTheLimitEndsTheConnectionAndOneAtItIsAnswered) {
    const auto frame_bytes = [](const QuillFernTarpcServer& handler, const ServiceRequest& call) {
        return tarpc_service::encoded_size({2, handler.serve({}, call)});
    };
    // Entries whose texts differ in their payload's length alone: a query for "fitss" is
    // answered in a frame of exactly the limit, one for "overs" and a subscribe (a longer
    // text) go over it.
    const auto fill = [&frame_bytes](Connection& connection) {
        const QuillFernTarpcServer handler(connection.store);
        const auto inject = [&handler](const std::string& key, std::size_t payload_bytes) {
            ASSERT_EQ(handler.gossip_inject({}, "compute", key, "\"" + std::string(payload_bytes - 2, 'q') + "\""),
                      R"({"result":"Accepted"})");
        };
        inject("probe", 100'000);
        const std::size_t room =
            tarpc_service::kMaxFrameLength - frame_bytes(handler, call::gossip_query("compute", "probe"));
        inject("fitss", 100'000 + room);
        inject("overs", 100'001 + room);
        ASSERT_EQ(frame_bytes(handler, call::gossip_query("compute", "fitss")), tarpc_service::kMaxFrameLength);
        ASSERT_EQ(frame_bytes(handler, call::gossip_query("compute", "overs")), tarpc_service::kMaxFrameLength + 1);
    };
    const std::string span = kSpan + " otel.name=\"QuillFernService.";
    const auto refused = [&span](std::string_view method) {
        return std::vector<std::string>{
            " INFO " + span + "health_liveness\"}: tarpc::server: CompleteRequest",
            " INFO " + span + "health_liveness\"}: tarpc::server: BufferResponse",
            " INFO " + span + std::string(method) + "\"}: tarpc::server: CompleteRequest",
            " INFO " + span + std::string(method) + "\"}: tarpc::server: BufferResponse",
            " INFO " + span + "health_liveness\"}: tarpc::server: CompleteRequest",
            " INFO " + span + "health_liveness\"}: tarpc::server: BufferResponse",
            " INFO " + span + "health_liveness\"}: tarpc::server: SendResponse",
            " INFO " + span + std::string(method) + "\"}: tarpc::server: SendResponse",
            "TRACE tarpc::server: write: could not write to the transport: frame size too big",
            kStreamError + "could not write to the transport",
        };
    };
    struct Case {
        const char* what;
        ServiceRequest call;
        std::vector<std::uint64_t> replies;
        std::vector<std::string> lines;  // from the first task's on, TRACE lines but the failed write's left out
    };
    const Case cases[] = {
        {"a query answered in a frame of the limit", call::gossip_query("compute", "fitss"), {1, 2, 3}, {}},
        {"a query a byte over", call::gossip_query("compute", "overs"), {}, refused("gossip_query")},
        {"a subscribe over", call::gossip_subscribe("compute", "fitss"), {}, refused("gossip_subscribe")},
    };
    for (const Case& c : cases) {
        Connection connection;
        fill(connection);
        connection.send(request(1, call::health_liveness()) + request(2, c.call) + request(3, call::health_liveness()));
        std::vector<Response> replies = connection.receive();
        for (Response& reply : connection.end_input()) replies.push_back(std::move(reply));
        EXPECT_EQ(ids_of(replies), c.replies) << c.what;
        if (c.lines.empty()) {
            ASSERT_EQ(replies.size(), 3u) << c.what;
            EXPECT_EQ(replies[1].json.size(), tarpc_service::kMaxFrameLength - 8)
                << c.what;  // id, result, variant, length
            EXPECT_EQ(connection.count(kStreamError), 0u) << c.what;
            continue;
        }
        std::vector<std::string> lines;
        bool begun = false;
        for (std::string& line : connection.events()) {
            begun = begun || line.ends_with("CompleteRequest");
            if (begun && (!line.starts_with("TRACE") || line.starts_with("TRACE tarpc::server: write: "))) {
                lines.push_back(std::move(line));
            }
        }
        EXPECT_EQ(lines, c.lines) << c.what;
    }
}

// A deadline that passes while the finished reply waits for a client that reads nothing:
// the deadline timer wakes the connection, which drops the reply.
TEST_F(ChannelTest, ADeadlineThatPassesWhileItsReplyWaitsDropsIt) {
    fill_compute(8, 2000);  // replies of about 17 kB
    constexpr int kRequests = 150;
    RequestOptions soon;
    soon.deadline = std::chrono::milliseconds(500);
    soon.trace_id = trace_id_of(0x33);
    Bytes batch;
    for (int id = 1; id <= kRequests; ++id) {
        batch += request(id, call::gossip_query("compute"), id > 140 ? soon : RequestOptions{});
    }
    ASSERT_EQ(send(batch), batch.size());
    ASSERT_TRUE(run_until([this] { return count("DeadlineExceeded") == 10; }));
    const std::vector<Response> replies = end_input();
    std::vector<std::uint64_t> expected;
    for (std::uint64_t id = 1; id <= 140; ++id) expected.push_back(id);
    EXPECT_EQ(ids_of(replies), expected);
    EXPECT_THAT(events(), Contains("ERROR RPC{rpc.trace_id=33 rpc.deadline=T otel.kind=\"server\" "
                                   "otel.name=\"QuillFernService.gossip_query\"}: "
                                   "tarpc::server::in_flight_requests: DeadlineExceeded"));
}

}  // namespace
}  // namespace quillfern::tarpc_server
