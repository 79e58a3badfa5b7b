// Execution of one request: its operation inside its span, then its response handed to
// the connection's queue.
#include "channel.hpp"

#include "quillfern/log_targets.hpp"

namespace quillfern::tarpc_server::detail {

RequestTask::~RequestTask() {
    // Destroyed before its work ended (never run): the connection forgets the request.
    if (channel_) channel_->notice_dropped(request_.request.id);
}

void RequestTask::operator()() {
    Channel* channel = std::exchange(channel_, nullptr);  // the work ends here either way
    InFlightRequest& in_flight = request_;
    // Aborted (cancelled, expired, or the connection gone) before the first run: nothing
    // is done, nothing is logged, no response.
    if (in_flight.abort->aborted) return;
    log::Span& span = in_flight.span;
    if (span) span.record(log::quoted("otel.name", in_flight.request.message.method_name()));

    std::optional<tarpc_service::Response> response;
    {
        auto entered = span.enter();
        response.emplace(in_flight.request.id,
                         channel->handler().serve(in_flight.request.context, std::move(in_flight.request.message)));
        QF_LOG(log::Level::Info, log::targets::kTarpc, "CompleteRequest");
    }
    channel->offer(std::move(*response), std::move(span), std::move(in_flight.abort));
}

}  // namespace quillfern::tarpc_server::detail
