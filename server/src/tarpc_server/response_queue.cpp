// The finished responses of one connection: the bounded queue the stream writes from, and
// the responses whose requests wait behind it for a slot.
#include "response_queue.hpp"

#include "quillfern/log_targets.hpp"

namespace quillfern::tarpc_server {

void ResponseQueue::enqueue(FinishedResponse&& finished, std::size_t bytes, const log::Span& span) {
    queued_.push_back(Queued{std::move(finished), bytes});
    auto entered = span.enter();
    QF_LOG(log::Level::Info, log::targets::kTarpc, "BufferResponse");
}

void ResponseQueue::offer(tarpc_service::Response&& response, log::Span&& span, std::shared_ptr<AbortSignal>&& abort,
                          bool over_frame_limit) {
    const std::size_t bytes = tarpc_service::encoded_size(response);
    bytes_ += bytes;
    FinishedResponse finished{std::move(response), over_frame_limit};
    if (queued_.size() < kPendingResponseBuffer && waiting_.empty()) {
        enqueue(std::move(finished), bytes, span);
        return;
    }
    // The queue is full: the response waits for a slot, and its request can still be aborted.
    waiting_.push_back(Waiting{std::move(finished), std::move(span), std::move(abort), bytes});
    auto it = std::prev(waiting_.end());
    it->abort->on_abort = [this, it] {
        bytes_ -= it->bytes;
        waiting_.erase(it);
    };
}

std::optional<tarpc_service::Response> ResponseQueue::take() {
    std::optional<FinishedResponse> next = take_finished();
    if (!next) return std::nullopt;
    return std::move(next->response);
}

std::optional<FinishedResponse> ResponseQueue::take_finished() {
    if (queued_.empty()) return std::nullopt;
    std::optional<FinishedResponse> next(std::move(queued_.front().finished));
    bytes_ -= queued_.front().bytes;
    queued_.pop_front();
    if (!waiting_.empty()) {
        Waiting& first = waiting_.front();
        first.abort->on_abort = nullptr;
        enqueue(std::move(first.finished), first.bytes, first.span);
        waiting_.pop_front();
    }
    return next;
}

void ResponseQueue::clear() noexcept {
    // A waiting request aborted later must not reach back into a queue that has let it go.
    for (Waiting& waiting : waiting_) waiting.abort->on_abort = nullptr;
    waiting_.clear();
    queued_.clear();
    bytes_ = 0;
}

}  // namespace quillfern::tarpc_server
