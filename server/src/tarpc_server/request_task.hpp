// The task of one request on a binary RPC connection, as it waits in the connection's
// run queue.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

#include "in_flight.hpp"
#include "quillfern/log.hpp"
#include "quillfern/tarpc_service.hpp"

namespace quillfern::tarpc_server::detail {

class Channel;

// A request handed out by the stream, to be run as a task of its own.
struct InFlightRequest {
    tarpc_service::Request request;
    std::shared_ptr<AbortSignal> abort;
    log::Span span;
    std::size_t bytes = 0;  // its frame's payload: what it holds until its task runs
};

// The task of one request: runs its operation inside its span unless it was aborted
// before it first ran, logs "CompleteRequest" and hands the response to the connection.
// Tasks wait in their connection's run queue and run on its thread, in order; if one is
// destroyed without having run (the connection or the runtime going down), the
// connection is told to forget it.
class RequestTask {
public:
    RequestTask(Channel& channel, tarpc_service::Request&& request, std::shared_ptr<AbortSignal>&& abort,
                log::Span&& span, std::size_t bytes)
        : channel_(&channel), request_{std::move(request), std::move(abort), std::move(span), bytes} {}
    RequestTask(RequestTask&& other) noexcept
        : channel_(std::exchange(other.channel_, nullptr)), request_(std::move(other.request_)) {}
    RequestTask& operator=(RequestTask&&) = delete;
    ~RequestTask();

    void operator()();
    std::size_t bytes() const noexcept { return request_.bytes; }

private:
    Channel* channel_;  // the connection whose run queue holds the task
    InFlightRequest request_;
};

}  // namespace quillfern::tarpc_server::detail
