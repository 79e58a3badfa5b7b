// Execution of one request: its operation inside its span, then its response handed to
// the connection's queue.
#include "channel.hpp"

#include "quillfern/log_targets.hpp"

namespace quillfern::tarpc_server::detail {

namespace {

// The longest reply text whose response to request `id` fits in a frame. A text that long
// takes the 5-byte form of its length.
std::size_t longest_reply_text(std::uint64_t id) {
    const tarpc_service::Response empty{
        id, tarpc_service::QuillFernServiceResponse{tarpc_service::QuillFernServiceResponse::GossipQuery{}}};
    return tarpc_service::kMaxFrameLength - (tarpc_service::encoded_size(empty) - 1 + 5);
}

}  // namespace

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

    const std::uint64_t id = in_flight.request.id;
    std::optional<tarpc_service::Response> response;
    {
        auto entered = span.enter();
        response.emplace(tarpc_service::Response{
            id, channel->handler().serve(in_flight.request.context, std::move(in_flight.request.message),
                                         longest_reply_text(id))});
        QF_LOG(log::Level::Info, log::targets::kTarpc, "CompleteRequest");
    }
    // A reply too long for a frame is known by its size alone and left unbuilt; the write
    // that would send it fails as for any frame over the limit.
    const bool over_frame_limit = QuillFernTarpcServer::left_unbuilt(std::get<0>(response->message));
    channel->offer(std::move(*response), std::move(span), std::move(in_flight.abort), over_frame_limit);
}

}  // namespace quillfern::tarpc_server::detail
