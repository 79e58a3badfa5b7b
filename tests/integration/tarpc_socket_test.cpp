// The binary RPC socket of the real binary in legacy dual-socket mode, driven by the
// tests' own client of the wire format: exact replies, deadlines, cancellation,
// duplicates, back-pressure, half-closed clients, malformed input and the log lines of
// the request life cycle.
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "process_status.hpp"
#include "tarpc_wire.hpp"
#include "test_process.hpp"

namespace quillfern::testing {
namespace {

using namespace tarpc_wire;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

constexpr std::string_view kWarnStreamError = " WARN tarpc::server: Requests stream errored out: ";
const std::string kTraceFiltered = "info,tarpc::server=trace";

std::size_t count_of(const std::string& haystack, std::string_view needle) {
    std::size_t n = 0;
    for (std::size_t at = haystack.find(needle); at != std::string::npos; at = haystack.find(needle, at + 1)) ++n;
    return n;
}

// ThreadSanitizer runs every access through its checks, several times slower: a bound on
// how long one answer may take holds only without it.
#if defined(__SANITIZE_THREAD__)
constexpr bool kLatencyBoundsHold = false;
#else
constexpr bool kLatencyBoundsHold = true;
#endif

constexpr std::size_t kMiB = 1024 * 1024;

// A client of the binary socket that sends as much as its socket takes without waiting,
// and never reads a byte.
class SilentClient {
public:
    explicit SilentClient(const std::string& path) : fd_(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            throw std::runtime_error("connect " + path + ": " + std::strerror(errno));
        }
    }
    SilentClient(SilentClient&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    SilentClient& operator=(SilentClient&&) = delete;
    ~SilentClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    // Bytes the server has written that this side has not read.
    int unread() const {
        int count = 0;
        ::ioctl(fd_, FIONREAD, &count);
        return count;
    }
    // The bytes the socket took.
    std::size_t send_what_fits(std::string_view bytes) const {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0) break;
            sent += static_cast<std::size_t>(n);
        }
        return sent;
    }

private:
    int fd_;
};

std::array<std::uint8_t, 16> trace_id_of(std::uint8_t low) {
    std::array<std::uint8_t, 16> id{};
    id[0] = low;
    return id;
}

class TarpcSocketTest : public ::testing::Test {
protected:
    std::unique_ptr<ServerProcess> start(std::optional<std::string> rust_log = std::nullopt,
                                         std::vector<std::string> args = {"--legacy-dual-socket"}) {
        std::map<std::string, std::string> env{{"VELLUMAR_RUNTIME_DIR", base},
                                               {"VELLUMAR_SOCKET_DIR", base},
                                               {"NO_COLOR", "1"},
                                               {"GATE_ID", "gate-test"},
                                               {"TOKIO_WORKER_THREADS", "2"}};
        if (rust_log) env["RUST_LOG"] = *rust_log;
        auto server = std::make_unique<ServerProcess>(ServerProcess::Options{std::move(args), std::move(env)});
        // The main socket is bound after the binary one listens; its file appears at any filter.
        EXPECT_TRUE(wait_for_file(base + "/quillfern.sock", std::chrono::seconds(10)))
            << server->out() << server->err();
        return server;
    }
    std::string socket() const { return base + "/quillfern.tarpc.sock"; }
    TarpcClient connect() const { return TarpcClient(socket()); }

    // Sends one request and gives its reply.
    static Response call(TarpcClient& client, std::uint64_t id, const Bytes& service_request) {
        client.send(request(id, service_request));
        auto reply = client.read_response();
        if (!reply) throw std::runtime_error("no reply");
        return *reply;
    }
    // 64 entries of 2 kB in "compute": a query of it answers with about 140 kB.
    void fill_compute() {
        TarpcClient filler = connect();
        const std::string payload = "\"" + std::string(2000, 'p') + "\"";
        Bytes batch;
        for (int i = 0; i < 64; ++i) {
            batch += request(1000 + i, call::gossip_inject("compute", "key-" + std::to_string(i), payload));
        }
        filler.send(batch);
        for (int i = 0; i < 64; ++i) ASSERT_TRUE(filler.read_response());
    }
    // 150 queries of "compute" (filled as above) from a new client that reads nothing yet:
    // once they have finished, their replies fill the socket, the queue and a line of
    // waiting tasks.
    static constexpr int kPipelinedQueries = 150;
    TarpcClient pipeline_queries() {
        fill_compute();
        TarpcClient client = connect();
        Bytes batch;
        const auto query = call::gossip_query("compute", std::optional<std::string>());
        for (int id = 1; id <= kPipelinedQueries; ++id) batch += request(id, query);
        client.send(batch);
        return client;
    }
    // Waits until standard output holds `needle` `n` times.
    static bool wait_for_count(const ServerProcess& server, std::string_view needle, std::size_t n,
                               std::chrono::seconds timeout = std::chrono::seconds(20)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (count_of(server.out(), needle) < n) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    TempDir dir;
    std::string base = dir.path();  // the servers' directory; a fresh one per server in loops

    void fresh_base() {
        static int n = 0;
        base = dir.file("server-" + std::to_string(++n));
        std::filesystem::create_directory(base);
    }
};

// ---- Operations ---------------------------------------------------------------------------

TEST_F(TarpcSocketTest, EachOperationRepliesWithExactBytes) {
    auto server = start();
    TarpcClient client = connect();
    const Bytes methods = varint(12) + text("health.liveness") + text("health.readiness") + text("health.check") +
                          text("capabilities.list") + text("btsp.negotiate") + text("wendle.announce") +
                          text("gossip.spread") + text("gossip.inject") + text("gossip.query") + text("gossip.status") +
                          text("gossip.peers") + text("gossip.subscribe");
    struct Case {
        const char* what;
        Bytes call;
        Bytes reply;  // for request id 7
    };
    // In order, on one store: the heartbeat entry is the only entry at first.
    const Case cases[] = {
        {"liveness", call::health_liveness(), bool_reply(7, 0, true)},
        {"readiness", call::health_readiness(), bool_reply(7, 1, true)},
        {"health report", call::health_check(),
         frame(varint(7) + varint(0) + varint(2) + text("Healthy") + text("quillFern") + text("0.1.0"))},
        {"capabilities", call::capabilities_list(),
         frame(varint(7) + varint(0) + varint(3) + text("quillFern") + text("0.1.0") + methods)},
        {"peers", call::gossip_peers(), text_reply(7, 7, R"({"node_id":"gate-test","peers":{}})")},
        {"empty query", call::gossip_query("data", std::nullopt), text_reply(7, 5, R"({"count":0,"entries":[]})")},
        {"empty subscribe", call::gossip_subscribe("compute", std::string("x")),
         text_reply(7, 8, R"({"count":0,"entries":[],"mode":"snapshot","subscriber_count":0})")},
        {"inject", call::gossip_inject("data", "k1", R"({"v":1})"), text_reply(7, 4, R"({"result":"Accepted"})")},
        {"inject again within the second", call::gossip_inject("data", "k1", "2"),
         text_reply(7, 4, R"({"result":"Duplicate"})")},
        {"inject with an empty key", call::gossip_inject("data", "", "1"),
         text_reply(7, 4, R"({"result":"Rejected"})")},
        {"inject to an unknown topic", call::gossip_inject("Data", "k2", "1"),
         text_reply(7, 4, R"({"error":"invalid topic"})")},
        {"query of an unknown topic", call::gossip_query(" data", std::nullopt),
         text_reply(7, 5, R"({"error":"invalid topic"})")},
        {"subscribe to an unknown topic", call::gossip_subscribe("", std::nullopt),
         text_reply(7, 8, R"({"error":"invalid topic"})")},
    };
    // Status first, before anything is injected here (the heartbeat entry may be there, and
    // renewed once by the eviction loop's first tick when that falls in a later second).
    Response status = call(client, 6, call::gossip_status());
    const std::string status_json = Reader(status.body).text();
    EXPECT_EQ(status.frame, text_reply(6, 6, status_json));
    EXPECT_THAT(status_json,
                ::testing::MatchesRegex(R"(\{"compute_entries":0,"data_entries":0,"nonce_history_size":[012],)"
                                        R"("peer_count":0,"total_evicted":0,"total_ingested":[012],)"
                                        R"("varne_entries":[01]\})"));
    for (const Case& c : cases) {
        EXPECT_EQ(call(client, 7, c.call).frame, c.reply) << c.what;
    }
    // The injected entry, read back.
    Response query = call(client, 8, call::gossip_query("data", std::string("k")));
    EXPECT_EQ(query.variant, 5u);
    Reader body(query.body);
    EXPECT_THAT(
        body.text(),
        ::testing::AllOf(HasSubstr(R"({"count":1,"entries":[{"created_at_epoch":)"), HasSubstr(R"("key":"k1",)"),
                         HasSubstr(R"("origin_gate":"gate-test","payload":{"v":1},"topic":"data","ttl":8,)")));
}

TEST_F(TarpcSocketTest, WorkedExampleByteForByte) {
    auto server = start();
    TarpcClient client = connect();
    const Bytes request_bytes = Bytes(
        "\x00\x00\x00\x29"
        "\x00"
        "\x0a\x00"
        "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f"
        "\xfb\x2c\x01"
        "\x00"
        "\x05"
        "\x05"
        "\x04\x64\x61\x74\x61"
        "\x01\x09\x65\x6e\x64\x70\x6f\x69\x6e\x74\x2e",
        45);
    EXPECT_EQ(request_bytes, request(5, call::gossip_query("data", std::string("endpoint."))));
    client.send(request_bytes);
    const Bytes reply(
        "\x00\x00\x00\x1c"
        "\x05"
        "\x00"
        "\x05"
        "\x18{\"count\":0,\"entries\":[]}",
        32);
    EXPECT_EQ(client.read_frame(), reply);
    // Its cancellation, once answered, is only noted.
    const Bytes cancel_bytes = Bytes("\x00\x00\x00\x16\x01", 5) +
                               Bytes("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16) +
                               Bytes("\xfb\x2c\x01\x00\x05", 5);
    EXPECT_EQ(cancel_bytes, cancel(5));
    client.send(cancel_bytes);
    EXPECT_EQ(call(client, 6, call::health_liveness()).frame, bool_reply(6, 0, true));
}

// ---- Deadlines, cancellation, duplicates ----------------------------------------------------

TEST_F(TarpcSocketTest, RequestPastItsDeadlineIsNeverAnsweredNorRun) {
    auto server = start();
    TarpcClient client = connect();
    RequestOptions past;
    past.deadline_seconds = 0;
    past.trace_id = trace_id_of(0x11);
    client.send(request(1, call::gossip_inject("data", "late", "1"), past) + request(2, call::health_liveness()));
    client.shutdown_write();
    auto replies = client.read_until_closed();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].frame, bool_reply(2, 0, true));
    EXPECT_TRUE(client.closed());
    ASSERT_TRUE(server->wait_for_output("DeadlineExceeded"));
    EXPECT_THAT(server->out(), ::testing::ContainsRegex("ERROR RPC\\{rpc.trace_id=11 rpc.deadline=[^ ]+ "
                                                        "otel.kind=\"server\"\\}: tarpc::server::in_flight_requests: "
                                                        "DeadlineExceeded\n"));
    // Aborted before it ran: nothing was injected.
    TarpcClient second = connect();
    EXPECT_EQ(call(second, 3, call::gossip_query("data", std::nullopt)).frame,
              text_reply(3, 5, R"({"count":0,"entries":[]})"));
    EXPECT_THAT(server->out(), Not(::testing::ContainsRegex("rpc.trace_id=11 [^\n]*CompleteRequest")));
}

TEST_F(TarpcSocketTest, CancelledRequestIsNeverAnsweredAndUnknownCancelIsOnlyLogged) {
    auto server = start(kTraceFiltered);
    TarpcClient client = connect();
    RequestOptions cancelled;
    cancelled.trace_id = trace_id_of(0x22);
    // The cancellation arrives with its request: it is read before the request's task runs.
    client.send(request(1, call::gossip_inject("data", "cancelled", "1"), cancelled) + cancel(1, cancelled) +
                cancel(99, RequestOptions{}) + request(2, call::health_readiness()));
    client.shutdown_write();
    auto replies = client.read_until_closed();
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(replies[0].frame, bool_reply(2, 1, true));
    ASSERT_TRUE(server->wait_for_output("ReceiveCancel"));
    EXPECT_THAT(server->out(), ::testing::ContainsRegex(" INFO RPC\\{rpc.trace_id=22 rpc.deadline=[^ ]+ "
                                                        "otel.kind=\"server\"\\}: "
                                                        "tarpc::server::in_flight_requests: ReceiveCancel\n"));
    EXPECT_THAT(server->out(), HasSubstr("TRACE tarpc::server: Received cancellation, but response handler is already "
                                         "complete. rpc.trace_id=f0e0d0c0b0a09080706050403020100\n"));
    TarpcClient second = connect();
    EXPECT_EQ(call(second, 3, call::gossip_query("data", std::nullopt)).frame,
              text_reply(3, 5, R"({"count":0,"entries":[]})"));
}

TEST_F(TarpcSocketTest, DuplicateIdIsDroppedAndTheIdIsReusableOnceAnswered) {
    auto server = start(kTraceFiltered);
    TarpcClient client = connect();
    client.send(request(1, call::health_liveness()) + request(1, call::health_readiness()));
    auto first = client.read_response();
    ASSERT_TRUE(first);
    EXPECT_EQ(first->frame, bool_reply(1, 0, true));
    EXPECT_EQ(call(client, 1, call::health_check()).variant, 2u);
    client.shutdown_write();
    EXPECT_THAT(client.read_until_closed(), IsEmpty());
    ASSERT_TRUE(wait_for_count(*server, "tarpc::server: SendResponse\n", 2));
    EXPECT_EQ(count_of(server->out(), "tarpc::server: ReceiveRequest\n"), 3u);
    EXPECT_EQ(count_of(server->out(), "tarpc::server: SendResponse\n"), 2u);
    EXPECT_THAT(server->out(), ::testing::ContainsRegex("TRACE RPC\\{rpc.trace_id=f0e0d0c0b0a09080706050403020100 "
                                                        "rpc.deadline=[^ ]+ otel.kind=\"server\"\\}: "
                                                        "tarpc::server: DuplicateRequest\n"));
}

// ---- Order, back-pressure, half-closed clients ----------------------------------------------

TEST_F(TarpcSocketTest, PipelinedRequestsAreAnsweredAsTheyFinish) {
    auto server = start();
    TarpcClient client = connect();
    client.send(request(30, call::gossip_status()) + request(10, call::health_liveness()) +
                request(20, call::gossip_peers()));
    client.shutdown_write();
    auto replies = client.read_until_closed();
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0].id, 30u);
    EXPECT_EQ(replies[1].frame, bool_reply(10, 0, true));
    EXPECT_EQ(replies[2].frame, text_reply(20, 7, R"({"node_id":"gate-test","peers":{}})"));
    EXPECT_TRUE(client.closed());
    EXPECT_THAT(server->out(), Not(HasSubstr(kWarnStreamError)));
}

TEST_F(TarpcSocketTest, ClientThatStopsReadingGetsEveryReplyOnceItReads) {
    auto server = start();
    TarpcClient client = pipeline_queries();
    constexpr int kRequests = kPipelinedQueries;
    const std::string completed = "otel.name=\"QuillFernService.gossip_query\"}: tarpc::server: CompleteRequest";
    const std::string buffered = "otel.name=\"QuillFernService.gossip_query\"}: tarpc::server: BufferResponse";
    ASSERT_TRUE(wait_for_count(*server, completed, kRequests));
    EXPECT_LT(count_of(server->out(), buffered), static_cast<std::size_t>(kRequests));
    for (int id = 1; id <= kRequests; ++id) {
        auto reply = client.read_response();
        ASSERT_TRUE(reply) << id;
        EXPECT_EQ(reply->id, static_cast<std::uint64_t>(id));
        EXPECT_THAT(Reader(reply->body).text(), ::testing::StartsWith(R"({"count":64,"entries":[)"));
    }
    EXPECT_TRUE(wait_for_count(*server, buffered, kRequests));
}

// While its replies wait (queued or behind the full queue), the client is still read from:
// a cancellation then drops the finished reply that was not written yet.
TEST_F(TarpcSocketTest, CancelOfAFinishedReplyThatWaitsDropsIt) {
    auto server = start();
    TarpcClient client = pipeline_queries();
    constexpr int kRequests = kPipelinedQueries;
    ASSERT_TRUE(wait_for_count(*server, "gossip_query\"}: tarpc::server: CompleteRequest", kRequests));
    client.send(cancel(60) + cancel(140));
    ASSERT_TRUE(wait_for_count(*server, "tarpc::server::in_flight_requests: ReceiveCancel", 2));
    std::vector<std::uint64_t> ids;
    for (int i = 0; i < kRequests - 2; ++i) {
        auto reply = client.read_response();
        ASSERT_TRUE(reply) << i;
        ids.push_back(reply->id);
    }
    std::vector<std::uint64_t> expected;
    for (std::uint64_t id = 1; id <= kRequests; ++id) {
        if (id != 60 && id != 140) expected.push_back(id);
    }
    EXPECT_EQ(ids, expected);
    client.shutdown_write();
    EXPECT_THAT(client.read_until_closed(), IsEmpty());
}

// A client that sends far more than it reads: the server stops reading new frames while
// 1,024 requests are in flight, holds its memory there, and loses nothing once the
// client reads.
TEST_F(TarpcSocketTest, ClientThatNeverReadsIsNotReadFromBeyondTheInFlightBound) {
    auto server = start("warn,tarpc::server=info");
    {
        TarpcClient filler = connect();
        EXPECT_EQ(call(filler, 1, call::gossip_inject("compute", "big", "\"" + std::string(2000, 'q') + "\"")).frame,
                  text_reply(1, 4, R"({"result":"Accepted"})"));
    }
    TarpcClient client = connect();
    constexpr int kRequests = 3000;
    Bytes batch;
    for (int id = 1; id <= kRequests; ++id) batch += request(id, call::gossip_query("compute", std::nullopt));
    std::thread sender([&] { client.send(batch); });
    const std::string received = "tarpc::server: ReceiveRequest";
    ASSERT_TRUE(wait_for_count(*server, received, 1024));
    // Let the server settle: its count of read requests stops moving.
    std::size_t seen = 0;
    for (int still = 0; still < 20;) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        const std::size_t now = count_of(server->out(), received);
        still = now == seen ? still + 1 : 0;
        seen = now;
    }
    EXPECT_LT(seen, static_cast<std::size_t>(kRequests) / 2) << "read while 1,024 were in flight";
    for (int id = 1; id <= kRequests; ++id) {
        auto reply = client.read_response();
        ASSERT_TRUE(reply) << id;
        ASSERT_EQ(reply->id, static_cast<std::uint64_t>(id));
    }
    sender.join();
    // Every request read exactly once (one more: the filler's).
    EXPECT_TRUE(wait_for_count(*server, received, kRequests + 1));
    EXPECT_EQ(count_of(server->out(), received), static_cast<std::size_t>(kRequests) + 1);
}

// Sixteen clients pipeline thousands of queries for a topic of several MiB and read
// nothing. Together they hold the budget of finished replies all connections share
// (256 MiB), and each connection one reply more and one in the making, no more; the
// JSON-RPC socket answers a liveness probe within a second all along; and once the
// clients are gone their memory goes back to the system.
TEST_F(TarpcSocketTest, NonReadingClientsOfABigTopicHoldTheirBudgetAndStarveNoOne) {
    constexpr std::size_t kReplyBudget = 64 * kMiB;  // one connection's
    constexpr std::size_t kSharedReplyBudget = 256 * kMiB;
    constexpr int kClients = 16;
    constexpr int kQueriesEach = 5000;
    auto server = start("warn,tarpc::server=info");
    std::size_t reply_size = 0;
    {
        // 13 entries of 500,000 bytes: the reply to a query of the topic is about 6.5 MB.
        TarpcClient filler = connect();
        Bytes batch;
        for (int i = 0; i < 13; ++i) {
            const std::string payload = "\"" + std::string(500'000, static_cast<char>('a' + i)) + "\"";
            batch += request(100 + i, call::gossip_inject("data", "big-" + std::to_string(i), payload));
        }
        filler.send(batch);
        for (int i = 0; i < 13; ++i) {
            auto reply = filler.read_response();
            ASSERT_TRUE(reply);
            ASSERT_EQ(Reader(reply->body).text(), R"({"result":"Accepted"})");
        }
        auto whole = call(filler, 1, call::gossip_query("data", std::nullopt));
        reply_size = whole.frame.size();
        ASSERT_GT(reply_size, 6'500'000u);
    }
    const std::size_t before = status_bytes(server->pid(), "VmRSS");
    ASSERT_GT(before, 0u);

    Client probe = Client::unix_socket(base + "/quillfern.sock");
    probe.send("\xEC\x01");
    const auto liveness = [&probe](int id) {
        const auto sent = std::chrono::steady_clock::now();
        probe.send(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
                   R"(,"method":"health.liveness"})"
                   "\n");
        EXPECT_EQ(probe.read_line(std::chrono::seconds(60)),
                  R"({"id":)" + std::to_string(id) + R"(,"jsonrpc":"2.0","result":{"alive":true}})");
        return std::chrono::steady_clock::now() - sent;
    };
    liveness(0);

    RequestOptions hour;
    hour.deadline_seconds = 3600;
    Bytes queries;
    for (int id = 1; id <= kQueriesEach; ++id) queries += request(id, call::gossip_query("data", std::nullopt), hour);
    std::vector<SilentClient> silent;
    for (int i = 0; i < kClients; ++i) {
        silent.emplace_back(socket());
        ASSERT_GT(silent.back().send_what_fits(queries), 0u);
    }

    // Probes go on until every connection has begun to write and all of them together
    // have finished at least as many replies as fit the shared budget, and some more after.
    const std::size_t least = kSharedReplyBudget / reply_size;
    const auto working = [&] {
        return count_of(server->out(), "tarpc::server: CompleteRequest") < least ||
               std::any_of(silent.begin(), silent.end(), [](const SilentClient& c) { return c.unread() == 0; });
    };
    std::chrono::steady_clock::duration slowest{};
    int id = 1;
    for (int after = 0; after < 50; ++id) {
        slowest = std::max(slowest, liveness(id));
        if (!working()) ++after;
    }
    if (kLatencyBoundsHold) {
        EXPECT_LT(slowest, std::chrono::seconds(1))
            << std::chrono::duration_cast<std::chrono::milliseconds>(slowest).count() << " ms";
    }
    const std::size_t peak = status_bytes(server->pid(), "VmHWM");
    if (kMemoryFiguresHold) {
        EXPECT_LT(peak, before + 2 * (kSharedReplyBudget + kClients * 2 * reply_size))
            << "VmHWM " << peak / kMiB << " MiB from " << before / kMiB << " MiB";
    }

    silent.clear();
    if (kMemoryFiguresHold) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        std::size_t now = status_bytes(server->pid(), "VmRSS");
        while (now > before + kReplyBudget && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            now = status_bytes(server->pid(), "VmRSS");
        }
        EXPECT_LT(now, before + kReplyBudget) << "VmRSS " << now / kMiB << " MiB from " << before / kMiB << " MiB";
    }
    // The store is whole and still served on the binary socket.
    TarpcClient reader = connect();
    EXPECT_EQ(call(reader, 2, call::gossip_query("data", std::nullopt)).frame.size(), reply_size);
}

// ---- End of input, malformed and oversized frames -------------------------------------------

TEST_F(TarpcSocketTest, EndOfInputInsideAFrameIsAnErrorAndBetweenFramesIsNot) {
    auto server = start(kTraceFiltered);
    struct Case {
        const char* what;
        Bytes sent;
        std::size_t replies;
        bool error;
    };
    const Case cases[] = {
        {"two header bytes", Bytes("\x00\x00", 2), 0, true},
        {"half a payload", Bytes("\x00\x00\x00\x0a\x00\x0a\x00", 7), 0, true},
        {"a whole header and no payload", Bytes("\x00\x00\x00\x0a", 4), 0, false},
        {"after a whole frame", request(4, call::health_liveness()), 1, false},
        {"nothing at all", Bytes(), 0, false},
    };
    std::size_t errors = 0;
    std::size_t sent_responses = 0;
    for (const Case& c : cases) {
        TarpcClient client = connect();
        if (!c.sent.empty()) client.send(c.sent);
        client.shutdown_write();
        EXPECT_EQ(client.read_until_closed().size(), c.replies) << c.what;
        EXPECT_TRUE(client.closed()) << c.what;
        if (c.error) ++errors;
        // The connection logged before it closed; a later reply's line follows its lines.
        TarpcClient probe = connect();
        EXPECT_EQ(call(probe, 9, call::health_liveness()).frame, bool_reply(9, 0, true));
        sent_responses += c.replies + 1;
        ASSERT_TRUE(wait_for_count(*server, "tarpc::server: SendResponse", sent_responses));
        EXPECT_EQ(count_of(server->out(), kWarnStreamError), errors) << c.what;
    }
    EXPECT_EQ(count_of(server->out(), std::string(kWarnStreamError) + "could not read from the transport\n"), 2u);
    EXPECT_EQ(count_of(server->out(),
                       "TRACE tarpc::server: read: could not read from the transport: bytes remaining on stream\n"),
              2u);
}

TEST_F(TarpcSocketTest, MalformedOrOversizedFramesEndOnlyTheirConnectionWithoutReply) {
    auto server = start(kTraceFiltered);
    TarpcClient bystander = connect();
    struct Case {
        const char* what;
        Bytes sent;
        std::string detail;
    };
    const Case cases[] = {
        {"header over 8 MiB", Bytes("\x00\x80\x00\x01", 4), "frame size too big"},
        {"empty frame", frame(""), "io error: unexpected end of file"},
        {"message index 2", frame(varint(2)), "invalid value: integer `2`, expected variant index 0 <= i < 2"},
        {"service index 9", frame(request_payload(1, varint(9))),
         "invalid value: integer `9`, expected variant index 0 <= i < 9"},
        {"byte after a whole message", frame(request_payload(1, call::health_liveness()) + "x"),
         "Slice had bytes remaining after deserialization"},
        {"topic not UTF-8", frame(request_payload(1, varint(5) + text("\xff") + Bytes(1, '\0'))),
         "string is not valid utf8: invalid utf-8 sequence of 1 bytes from index 0"},
    };
    std::size_t n = 0;
    for (const Case& c : cases) {
        TarpcClient client = connect();
        client.send(c.sent);
        EXPECT_THAT(client.read_until_closed(), IsEmpty()) << c.what;
        EXPECT_TRUE(client.closed()) << c.what;
        EXPECT_TRUE(client.leftover().empty()) << c.what;
        ++n;
        ASSERT_TRUE(wait_for_count(*server, kWarnStreamError, n)) << c.what;
        EXPECT_THAT(server->out(),
                    HasSubstr("TRACE tarpc::server: read: could not read from the transport: " + c.detail + "\n"))
            << c.what;
        EXPECT_EQ(call(bystander, n, call::health_liveness()).frame, bool_reply(n, 0, true)) << c.what;
    }
    EXPECT_EQ(count_of(server->out(), std::string(kWarnStreamError) + "could not read from the transport\n"), n);
}

TEST_F(TarpcSocketTest, ReplyOverTheFrameLimitEndsTheConnectionWithNoByteOfIt) {
    auto server = start(kTraceFiltered);
    TarpcClient client = connect();
    const std::string payload = "\"" + std::string(4'300'000, 'z') + "\"";
    EXPECT_EQ(call(client, 1, call::gossip_inject("varne", "big-1", payload)).frame,
              text_reply(1, 4, R"({"result":"Accepted"})"));
    EXPECT_EQ(call(client, 2, call::gossip_inject("varne", "big-2", payload)).frame,
              text_reply(2, 4, R"({"result":"Accepted"})"));
    client.send(request(3, call::gossip_query("varne", std::string("big"))));
    EXPECT_THAT(client.read_until_closed(), IsEmpty());
    EXPECT_TRUE(client.closed());
    EXPECT_TRUE(client.leftover().empty());
    ASSERT_TRUE(server->wait_for_output(std::string(kWarnStreamError) + "could not write to the transport\n"));
    EXPECT_THAT(server->out(),
                HasSubstr("TRACE tarpc::server: write: could not write to the transport: frame size too big\n"));
}

// ---- The socket and its log lines -------------------------------------------------------------

TEST_F(TarpcSocketTest, NoSocketWithoutLegacyModeOrWithTarpcDisabled) {
    const std::vector<std::vector<std::string>> modes = {{"--legacy-dual-socket", "--disable-tarpc"}, {}};
    for (const auto& args : modes) {
        fresh_base();
        auto server = start(std::nullopt, args);
        EXPECT_FALSE(std::filesystem::exists(socket()));
        EXPECT_THAT(server->out(), Not(HasSubstr("tarpc listening")));
    }
}

// The life cycle of one request, byte for byte; the deadline's text is checked apart.
TEST_F(TarpcSocketTest, LifeCycleLogLinesCarryTheRequestSpan) {
    auto server = start();
    TarpcClient client = connect();
    const auto before = std::chrono::system_clock::now();
    EXPECT_EQ(call(client, 5, call::gossip_inject("data", "k", "1")).frame,
              text_reply(5, 4, R"({"result":"Accepted"})"));
    const auto after = std::chrono::system_clock::now();
    ASSERT_TRUE(server->wait_for_output("SendResponse\n"));

    std::vector<std::string> lines;
    for (const std::string& e : server->events()) {
        if (e.find("tarpc::server") != std::string::npos) lines.push_back(e);
    }
    ASSERT_EQ(lines.size(), 5u) << server->out();
    const std::size_t at = lines[0].find("rpc.deadline=");
    ASSERT_NE(at, std::string::npos);
    const std::size_t from = at + std::string_view("rpc.deadline=").size();
    const std::string deadline = lines[0].substr(from, lines[0].find(' ', from) - from);
    // RFC 3339 in UTC; nine fraction digits unless the time falls on a whole second.
    EXPECT_THAT(deadline,
                ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}(\\.[0-9]{9})?Z"));
    const auto to_text = [](std::chrono::system_clock::time_point t) {
        std::time_t s = std::chrono::system_clock::to_time_t(t);
        std::tm tm{};
        gmtime_r(&s, &tm);
        char buf[32];
        std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%S", &tm);
        return std::string(buf);
    };
    EXPECT_GE(deadline.substr(0, 19), to_text(before + std::chrono::seconds(10) - std::chrono::seconds(1)));
    EXPECT_LE(deadline.substr(0, 19), to_text(after + std::chrono::seconds(10)));

    const std::string span =
        "RPC{rpc.trace_id=f0e0d0c0b0a09080706050403020100 rpc.deadline=" + deadline + " otel.kind=\"server\"";
    const std::string named = span + " otel.name=\"QuillFernService.gossip_inject\"";
    EXPECT_THAT(lines, ElementsAre(" INFO " + span + "}: tarpc::server: ReceiveRequest",
                                   " INFO " + span + "}: tarpc::server: BeginRequest",
                                   " INFO " + named + "}: tarpc::server: CompleteRequest",
                                   " INFO " + named + "}: tarpc::server: BufferResponse",
                                   " INFO " + named + "}: tarpc::server: SendResponse"));
}

TEST_F(TarpcSocketTest, FilteredOutServiceTargetsLeaveNoLineAndNoSpan) {
    struct Case {
        const char* rust_log;
        std::vector<std::string> tarpc_lines;
    };
    const Case cases[] = {
        {"info,tarpc=off", {}},
        {"warn", {"ERROR tarpc::server::in_flight_requests: DeadlineExceeded"}},
        // A plain prefix: it covers tarpc::server::in_flight_requests as well.
        {"debug,tarpc::server=off", {}},
    };
    for (const Case& c : cases) {
        fresh_base();
        auto server = start(c.rust_log);
        TarpcClient client = connect();
        RequestOptions past;
        past.deadline_seconds = 0;
        client.send(request(1, call::health_liveness(), past));
        EXPECT_EQ(call(client, 2, call::gossip_inject("data", "k", "1")).frame,
                  text_reply(2, 4, R"({"result":"Accepted"})"));
        client.shutdown_write();
        EXPECT_THAT(client.read_until_closed(), IsEmpty());
        // Its whole output, once it has stopped.
        server->send_signal(SIGTERM);
        EXPECT_EQ(server->wait_exit(), 0) << server->err();
        std::vector<std::string> lines;
        for (const std::string& e : server->events()) {
            if (e.find("tarpc::server") != std::string::npos || e.find("RPC") != std::string::npos) lines.push_back(e);
        }
        EXPECT_EQ(lines, c.tarpc_lines) << c.rust_log;
        if (std::string_view(c.rust_log).starts_with("debug")) {
            // The store's own event, raised while the request ran, without the disabled span.
            EXPECT_THAT(server->out(),
                        HasSubstr("DEBUG quillfern_core::gossip: Gossip entry ingested topic=data key=k"));
        }
    }
}

TEST_F(TarpcSocketTest, StoreEventsRaisedByARequestCarryItsSpan) {
    auto server = start("debug");
    TarpcClient client = connect();
    EXPECT_EQ(call(client, 5, call::gossip_inject("data", "k", "1")).frame,
              text_reply(5, 4, R"({"result":"Accepted"})"));
    ASSERT_TRUE(server->wait_for_output("SendResponse\n"));
    EXPECT_THAT(server->out(),
                ::testing::ContainsRegex("DEBUG RPC\\{rpc.trace_id=f0e0d0c0b0a09080706050403020100 rpc.deadline=[^ ]+ "
                                         "otel.kind=\"server\" otel.name=\"QuillFernService.gossip_inject\"\\}: "
                                         "quillfern_core::gossip: Gossip entry ingested topic=data key=k "));
}

}  // namespace
}  // namespace quillfern::testing
