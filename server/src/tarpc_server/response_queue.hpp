// The finished responses of one binary RPC connection.
#pragma once

#include <cstddef>
#include <deque>
#include <list>
#include <memory>
#include <optional>

#include "in_flight.hpp"
#include "quillfern/log.hpp"
#include "quillfern/tarpc_service.hpp"

namespace quillfern::tarpc_server {

// Finished responses a connection holds before request tasks wait for room.
inline constexpr std::size_t kPendingResponseBuffer = 100;

// A finished response as the queue holds it. One whose reply would not fit in a frame
// holds the request id alone: the reply was never built, and writing it fails.
struct FinishedResponse {
    tarpc_service::Response response;
    bool over_frame_limit = false;
};

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
    void offer(tarpc_service::Response&& response, log::Span&& span, std::shared_ptr<AbortSignal>&& abort,
               bool over_frame_limit = false);
    // The oldest queued response, none when the queue is empty. Its slot goes at once to
    // the first waiting response.
    std::optional<FinishedResponse> take_finished();
    // The same without the note of the frame limit.
    std::optional<tarpc_service::Response> take();
    // The encoded size of every response held, queued or waiting.
    std::size_t bytes() const noexcept { return bytes_; }
    std::size_t queued() const noexcept { return queued_.size(); }
    std::size_t waiting() const noexcept { return waiting_.size(); }
    // Drops every response, unwritten and silently.
    void clear() noexcept;

private:
    struct Queued {
        FinishedResponse finished;
        std::size_t bytes;
    };
    struct Waiting {
        FinishedResponse finished;
        log::Span span;
        std::shared_ptr<AbortSignal> abort;
        std::size_t bytes;
    };
    void enqueue(FinishedResponse&& finished, std::size_t bytes, const log::Span& span);

    std::deque<Queued> queued_;
    std::list<Waiting> waiting_;
    std::size_t bytes_ = 0;
};

}  // namespace quillfern::tarpc_server
