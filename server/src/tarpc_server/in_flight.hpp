// The requests in flight on one binary RPC connection: their abort signals, their
// deadlines and the table that holds them.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <utility>

#include "quillfern/log.hpp"

namespace quillfern::tarpc_server {

// The abort pair of one request, shared by the connection's table (which sets it) and
// the request's task (which checks it). Both live on the connection's thread.
struct AbortSignal {
    bool aborted = false;
    // Called once when the request is aborted, e.g. to take a response that waits for
    // room out of the response queue.
    std::function<void()> on_abort;

    void abort() {
        if (aborted) return;
        aborted = true;
        if (on_abort) {
            // Taken out first: the call may drop the last holder of this signal.
            std::function<void()> callback = std::exchange(on_abort, nullptr);
            callback();
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

}  // namespace quillfern::tarpc_server
