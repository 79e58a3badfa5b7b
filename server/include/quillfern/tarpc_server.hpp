// The binary RPC service: QuillFernService over the tarpc wire protocol.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_map>

#include <asio/awaitable.hpp>

#include "quillfern/accept.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/io_error.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/runtime.hpp"
#include "quillfern/tarpc_service.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::tarpc_server {

// ---- The service's operations ---------------------------------------------------------------

// The value that implements QuillFernService on the shared store. Its only state is the
// store handle: copies are cheap and share the store. Every operation answers with a
// success reply; bad arguments are answered inside the reply's JSON text.
class QuillFernTarpcServer {
public:
    explicit QuillFernTarpcServer(std::shared_ptr<gossip::GossipStore> store) : store_(std::move(store)) {}

    // Runs the operation the request names and gives its reply, of the request's variant.
    // The context is passed on and consulted by no operation.
    tarpc_service::QuillFernServiceResponse serve(const tarpc_service::Context& context,
                                                  tarpc_service::QuillFernServiceRequest request) const;

    bool health_liveness(const tarpc_service::Context& context) const;
    bool health_readiness(const tarpc_service::Context& context) const;
    tarpc_service::HealthReport health_check(const tarpc_service::Context& context) const;
    tarpc_service::CapabilityList capabilities_list(const tarpc_service::Context& context) const;
    std::string gossip_inject(const tarpc_service::Context& context, std::string_view topic, std::string key,
                              std::string_view payload) const;
    std::string gossip_query(const tarpc_service::Context& context, std::string_view topic,
                             std::optional<std::string_view> key_prefix) const;
    std::string gossip_status(const tarpc_service::Context& context) const;
    std::string gossip_peers(const tarpc_service::Context& context) const;
    std::string gossip_subscribe(const tarpc_service::Context& context, std::string_view topic,
                                 std::optional<std::string_view> key_prefix) const;

    const std::shared_ptr<gossip::GossipStore>& store() const noexcept { return store_; }

private:
    std::shared_ptr<gossip::GossipStore> store_;
};

// ---- The main socket's tarpc hand-off ---------------------------------------------------------

// A main-socket connection that negotiated tarpc: tarpc cannot be served on a single
// socket yet, so this logs a warning and closes the stream without reading or writing.
asio::awaitable<void> handle_tarpc_connection(transport::TransportStream stream);

// ---- Requests in flight on one binary RPC connection ---------------------------------

// The abort pair of one request, shared by the connection's table (which sets it) and
// the request's task (which checks it). Both live on the connection's thread.
struct AbortSignal {
    bool aborted = false;
    // Called once when the request is aborted, e.g. to take a response that waits for
    // room out of the response queue.
    void (*on_abort)(void* context) = nullptr;
    void* context = nullptr;

    void abort() {
        if (aborted) return;
        aborted = true;
        if (on_abort != nullptr) {
            auto callback = on_abort;
            on_abort = nullptr;
            callback(context);
        }
    }
};

// The connection's deadlines in whole milliseconds counted from its creation, rounded up,
// so that none fires early. Due times lie at most kHorizon ahead: later ones are clamped.
class DeadlineQueue {
public:
    using Clock = std::chrono::steady_clock;
    using Key = std::multimap<std::uint64_t, std::uint64_t>::iterator;
    static constexpr std::uint64_t kHorizonMs = (std::uint64_t{1} << 36) - 1;

    explicit DeadlineQueue(Clock::time_point start = Clock::now()) : start_(start) {}

    Key insert(std::uint64_t id, Clock::duration remaining, Clock::time_point now = Clock::now());
    void remove(Key key) { due_.erase(key); }
    bool empty() const noexcept { return due_.empty(); }
    std::size_t size() const noexcept { return due_.size(); }
    // When the earliest entry is due; none when the queue is empty.
    std::optional<Clock::time_point> next_due() const;
    // The id of one entry due at `now`, taken out of the queue.
    std::optional<std::uint64_t> pop_due(Clock::time_point now = Clock::now());

private:
    std::uint64_t elapsed_ms_ceil(Clock::time_point t) const;

    Clock::time_point start_;
    std::multimap<std::uint64_t, std::uint64_t> due_;  // due ms -> request id
};

// The table of requests in flight on one connection: duplicate ids, cancellation,
// expiry, and forgetting a request once its response is taken. Used by the connection's
// own task only. Dropping or clearing it aborts every request still in it, silently.
class InFlightRequests {
public:
    explicit InFlightRequests(DeadlineQueue::Clock::time_point start = DeadlineQueue::Clock::now())
        : deadlines_(start) {}
    ~InFlightRequests() { abort_all(); }
    InFlightRequests(const InFlightRequests&) = delete;
    InFlightRequests& operator=(const InFlightRequests&) = delete;

    // The request's abort signal; none when the id is already in flight (nothing changes then).
    std::shared_ptr<AbortSignal> start_request(std::uint64_t id, DeadlineQueue::Clock::duration remaining,
                                               log::Span span,
                                               DeadlineQueue::Clock::time_point now = DeadlineQueue::Clock::now());
    // Aborts the request and logs INFO "ReceiveCancel" in its span; false when it was not in flight.
    bool cancel_request(std::uint64_t id);
    // Forgets the request without aborting it and gives its span; none when it was not in flight.
    std::optional<log::Span> remove_request(std::uint64_t id);

    enum class Expiry : std::uint8_t { Expired, NotYet, Empty };
    struct Polled {
        Expiry status;
        std::uint64_t id = 0;
    };
    // One expired id at `now` (the request aborted, ERROR "DeadlineExceeded" in its span),
    // or whether entries remain.
    Polled poll_expired(DeadlineQueue::Clock::time_point now = DeadlineQueue::Clock::now());
    std::optional<DeadlineQueue::Clock::time_point> next_deadline() const { return deadlines_.next_due(); }

    std::size_t len() const noexcept { return requests_.size(); }
    // Room the table holds (for its memory bound).
    std::size_t bucket_count() const noexcept { return requests_.bucket_count(); }
    // Aborts and forgets every request, logging nothing.
    void abort_all();

private:
    struct Entry {
        std::shared_ptr<AbortSignal> abort;
        DeadlineQueue::Key deadline;
        log::Span span;
    };
    void compact();

    std::unordered_map<std::uint64_t, Entry> requests_;
    DeadlineQueue deadlines_;
};

// ---- Finished responses of one binary RPC connection -----------------------------------

// Finished responses a connection holds before request tasks wait for room.
inline constexpr std::size_t kPendingResponseBuffer = 100;

// The finished responses of one connection, in the order their requests finished: at most
// kPendingResponseBuffer in the queue, the rest waiting behind it for a slot, each one
// still abortable while it waits (an abort drops it). A response logs INFO
// "BufferResponse" in its span as it enters the queue. Used by the connection's own
// thread only.
class ResponseQueue {
public:
    ResponseQueue() = default;
    ~ResponseQueue() { clear(); }
    ResponseQueue(const ResponseQueue&) = delete;
    ResponseQueue& operator=(const ResponseQueue&) = delete;

    // Queues the response while a slot is free and nothing waits before it; otherwise it
    // waits for a slot.
    void offer(tarpc_service::Response&& response, log::Span&& span, std::shared_ptr<AbortSignal>&& abort);
    // The oldest queued response, none when the queue is empty. Its slot goes at once to
    // the first waiting response.
    std::optional<tarpc_service::Response> take();
    // The encoded size of every response held, queued or waiting.
    std::size_t bytes() const noexcept { return bytes_; }
    std::size_t queued() const noexcept { return queued_.size(); }
    std::size_t waiting() const noexcept { return waiting_.size(); }
    // Drops every response, unwritten and silently.
    void clear() noexcept;

private:
    struct Queued {
        tarpc_service::Response response;
        std::size_t bytes;
    };
    struct Waiting {
        tarpc_service::Response response;
        log::Span span;
        std::shared_ptr<AbortSignal> abort;
        std::size_t bytes;
        ResponseQueue* queue;
        std::list<Waiting>::iterator self;
    };
    void enqueue(tarpc_service::Response&& response, std::size_t bytes, const log::Span& span);

    std::deque<Queued> queued_;
    std::list<Waiting> waiting_;
    std::size_t bytes_ = 0;
};

// ---- One connection ------------------------------------------------------------------------
// Bounds of one connection's memory: while this many requests are in flight, or the
// finished replies waiting to be written exceed kMaxWaitingReplyBytes, no new frame is
// read; reading goes on as they drain.
inline constexpr std::size_t kMaxInFlightRequests = 1024;
inline constexpr std::size_t kMaxWaitingReplyBytes = 64 * 1024 * 1024;
// Responses are written out once this many bytes wait, or when no response is queued.
inline constexpr std::size_t kWriteHighWater = 8192;

// Serves one accepted connection of the binary RPC socket until its request stream ends
// (the client closed its side and every request in flight is answered) or fails (one
// WARN "Requests stream errored out: ..."). Each request runs as a task of its own on the
// connection's thread; requests still in flight when it returns are aborted.
asio::awaitable<void> serve_connection(transport::TransportStream stream, QuillFernTarpcServer handler);

// ---- The socket ------------------------------------------------------------------------------

// A failed accept on the binary RPC socket is logged once per episode and always tried
// again: at once after an error of one connection or one call ("connection aborted",
// "interrupted", "would block"), after 100 ms after any other, so that a lasting failure
// does not spin.
inline constexpr server::AcceptRetry kAcceptRetry{
    .log_target = log::targets::kTarpcServer,
    .warning = "tarpc accept error: {}",
    .pause = std::chrono::milliseconds(100),
    .retry_lasting_errors = true,
    .at_once_for_one_call = true,
};

// Binds socket_dir()/quillfern[-family].tarpc.sock (directories created, a stale socket
// file removed), logs "tarpc listening on unix://<path>" and starts the accept loop on a
// worker, which runs for the life of the process.
asio::awaitable<Expected<void, IoError>> start_tarpc_listener(const std::optional<std::string>& family_id,
                                                              std::string_view service,
                                                              std::shared_ptr<gossip::GossipStore> store,
                                                              runtime::Runtime& rt);

}  // namespace quillfern::tarpc_server
