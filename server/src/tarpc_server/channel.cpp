// The task of one binary RPC connection and the request stream it runs: the read half,
// the write half, and what it waits for between the steps.
#include "channel.hpp"

#include <algorithm>
#include <cerrno>
#include <random>

#include <fmt/format.h>
#include <asio/io_context.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/log_targets.hpp"
#include "quillfern/runtime.hpp"

namespace quillfern::tarpc_server::detail {

namespace {

// Requests handed out in a row before the connection lets its request tasks run.
constexpr int kHandOutsBeforeYield = 32;
// A connection that held this many bytes of finished replies at once gives the memory
// back to the system when it ends.
constexpr std::size_t kTrimAfterBytes = std::size_t{1} << 20;
// An outgoing buffer that grew beyond this for a long reply is let go once written.
constexpr std::size_t kKeptOutgoingBytes = 64 * 1024;

// Why a frame over the limit is not written, as the codec words it.
constexpr std::string_view kFrameTooBig = "frame size too big";

std::string_view status_text(bool ready, bool closed) { return ready ? "Ready" : closed ? "Closed" : "Pending"; }

// A new span id for the child context: random, never 0.
std::uint64_t random_span_id() {
    thread_local std::mt19937_64 generator{std::random_device{}()};
    std::uint64_t id = 0;
    while (id == 0) id = generator();
    return id;
}

}  // namespace

std::string_view ChannelError::text() const noexcept {
    switch (kind) {
        case Kind::Read: return "could not read from the transport";
        case Kind::Ready: return "could not ready the transport for writes";
        case Kind::Write: return "could not write to the transport";
        case Kind::Flush: return "could not flush the transport";
        case Kind::Close: return "could not close the write end of the transport";
    }
    return "could not read from the transport";
}

std::string ChannelError::chain() const { return fmt::format("{}: {}", text(), cause); }

Channel::Channel(transport::TransportStream stream, QuillFernTarpcServer handler, ReplyBudget& budget)
    : socket_(std::move(stream)), handler_(std::move(handler)), budget_(budget), readiness_(socket_) {
    std::error_code ignored;
    socket_.non_blocking(true, ignored);
}

Channel::~Channel() {
    closed_ = true;
    // Before the queues go: aborting a waiting request takes it out of them.
    in_flight_.abort_all();
    tasks_.clear();
    budget_.forget(this);
    budget_.change(reported_held_, 0);
}

// ---- The connection task ----------------------------------------------------------------

asio::awaitable<void> Channel::run() {
    int handed_out = 0;
    for (;;) {
        Step step = this->step();
        report_held();
        switch (step.kind) {
            case Step::Kind::Request: {
                // The request's task runs once every message already here is read, so that
                // a cancellation that came with its request is seen before it runs.
                if (++handed_out == kHandOutsBeforeYield) {
                    handed_out = 0;
                    run_tasks();
                    co_await yield();
                }
                continue;
            }
            case Step::Kind::Error:
                QF_LOG(log::Level::Warn, log::targets::kTarpc,
                       fmt::format("Requests stream errored out: {}", step.error->text()));
                close_down();
                co_return;
            case Step::Kind::End: close_down(); co_return;
            case Step::Kind::Pending:
                handed_out = 0;
                if (can_run_task()) {
                    if (run_tasks()) co_await yield();
                    continue;
                }
                // Room that came while the connection looked is taken at once.
                if (!tasks_.empty() && !wait_for_shared_room() && can_run_task()) continue;
                co_await wait_for_progress();
                continue;
        }
    }
}

// Other connections of this thread get their turn.
asio::awaitable<void> Channel::yield() { co_await asio::post(socket_.get_executor(), asio::use_awaitable); }

Channel::Step Channel::step() {
    step_now_ = MonotonicClock::now();
    step_now_is_fresh_ = true;
    for (;;) {
        auto read = read_half();
        if (!read) {
            QF_LOG(log::Level::Trace, log::targets::kTarpc, fmt::format("read: {}", read.error().chain()));
            return {Step::Kind::Error, std::move(read).error()};
        }
        auto write = write_half(read->status == Status::Closed);
        if (!write) {
            // A request read in this pass is dropped with the connection.
            QF_LOG(log::Level::Trace, log::targets::kTarpc, fmt::format("write: {}", write.error().chain()));
            return {Step::Kind::Error, std::move(write).error()};
        }
        if (read->handed_out) {
            QF_LOG(log::Level::Trace, log::targets::kTarpc, "read: Poll::Ready(Some), write: _");
            return {Step::Kind::Request, std::nullopt};
        }
        if (read->status == Status::Closed && *write == Status::Closed) {
            QF_LOG(log::Level::Trace, log::targets::kTarpc, "read: Poll::Ready(None), write: Poll::Ready(None)");
            return {Step::Kind::End, std::nullopt};
        }
        if (*write == Status::Ready) {
            QF_LOG(log::Level::Trace, log::targets::kTarpc, "read: _, write: Poll::Ready(Some)");
            step_now_is_fresh_ = false;
            continue;
        }
        QF_LOG(log::Level::Trace, log::targets::kTarpc,
               fmt::format("read pending: {}, write pending: {}", read->status == Status::Pending,
                           *write == Status::Pending));
        return {Step::Kind::Pending, std::nullopt};
    }
}

// ---- Read half ----------------------------------------------------------------------------

Expected<Channel::ReadEnd, ChannelError> Channel::read_half() {
    for (;;) {
        const Status cancellations = read_cancellation_notice();
        const Status expired = read_expiry();
        auto inbound = read_inbound();
        if (!inbound) return unexpected(std::move(inbound).error());
        if (inbound->handed_out) return ReadEnd{Status::Ready, true};
        // A duplicate is dropped and the half starts over, without a line of statuses.
        if (inbound->duplicate) continue;
        const Status in = inbound->status;
        const bool ready = cancellations == Status::Ready || expired == Status::Ready || in == Status::Ready;
        const bool closed = cancellations == Status::Closed && expired == Status::Closed && in == Status::Closed;
        QF_LOG(log::Level::Trace, log::targets::kTarpc,
               fmt::format("Cancellations: {}, Expired requests: {}, Inbound: {}, Overall: {}",
                           status_text(cancellations == Status::Ready, cancellations == Status::Closed),
                           status_text(expired == Status::Ready, expired == Status::Closed),
                           status_text(in == Status::Ready, in == Status::Closed), status_text(ready, closed)));
        if (ready) continue;
        return ReadEnd{closed ? Status::Closed : Status::Pending};
    }
}

// A task that ended before its work did asks for its request to be forgotten.
Channel::Status Channel::read_cancellation_notice() {
    if (dropped_.empty()) return Status::Closed;
    const std::uint64_t id = dropped_.front();
    dropped_.pop_front();
    if (std::optional<log::Span> span = in_flight_.remove_request(id)) {
        auto entered = span->enter();
        QF_LOG(log::Level::Info, log::targets::kTarpc, "ResponseCancelled");
    }
    return Status::Ready;
}

Channel::Status Channel::read_expiry() {
    const std::optional<MonotonicClock::time_point> next = in_flight_.next_deadline();
    if (!next) return Status::Closed;
    if (*next > step_now_) return Status::Pending;
    switch (in_flight_.poll_expired(step_now_).status) {
        case InFlightRequests::Expiry::Expired: return Status::Ready;
        case InFlightRequests::Expiry::NotYet: return Status::Pending;
        case InFlightRequests::Expiry::Empty: return Status::Closed;
    }
    return Status::Closed;
}

bool Channel::reading_paused() const noexcept {
    return in_flight_.len() >= kMaxInFlightRequests || held_reply_bytes() + tasks_.bytes() > kMaxWaitingReplyBytes;
}

Expected<Channel::Inbound, ChannelError> Channel::read_inbound() {
    if (input_ended_) return Inbound{Status::Closed};
    // Bounded memory: no new frame while too much waits; the drain wakes the stream.
    if (reading_paused()) return Inbound{Status::Pending};
    for (;;) {
        auto frame = reader_.next();
        if (!frame) return unexpected(ChannelError{ChannelError::Kind::Read, frame.error().detail});
        if (*frame) {
            // A deadline counts from the clock as read for its frame: the step's reading
            // while nothing else was done since.
            if (!step_now_is_fresh_) step_now_ = MonotonicClock::now();
            step_now_is_fresh_ = false;
            auto message = tarpc_service::decode_client_message(**frame, step_now_);
            if (!message) return unexpected(ChannelError{ChannelError::Kind::Read, message.error().detail});
            if (auto* request = std::get_if<tarpc_service::Request>(&*message)) {
                if (start_request(std::move(*request), step_now_, (*frame)->size())) {
                    return Inbound{Status::Ready, true};
                }
                return Inbound{Status::Ready, false, true};
            }
            cancel(std::get<tarpc_service::Cancel>(*message));
            return Inbound{Status::Ready};
        }
        auto filled = fill();
        if (!filled) return unexpected(std::move(filled).error());
        if (*filled != Status::Ready) return Inbound{*filled};
    }
}

Expected<Channel::Status, ChannelError> Channel::fill() {
    std::error_code ec;
    std::size_t n = 0;
    std::span<std::uint8_t> room;
    if (std::optional<std::error_code> outcome = readiness_.take_read_outcome()) {
        ec = *outcome;
    } else {
        if (!readiness_.maybe_readable()) return Status::Pending;
        room = reader_.prepare();
        n = socket_.read_some(asio::buffer(room.data(), room.size()), ec);
    }
    if (ec == asio::error::would_block || ec == asio::error::try_again) {
        readiness_.drained();
        return Status::Pending;
    }
    if (ec == asio::error::interrupted) return Status::Ready;
    if (ec == asio::error::eof) {
        input_ended_ = true;
        if (auto finished = reader_.finish(); !finished) {
            return unexpected(ChannelError{ChannelError::Kind::Read, finished.error().detail});
        }
        return Status::Closed;
    }
    if (ec) return unexpected(ChannelError{ChannelError::Kind::Read, IoError::from_error_code(ec).message()});
    reader_.commit(n);
    // A short read drained the socket: wait for readiness rather than read again.
    if (n < room.size()) readiness_.drained();
    return Status::Ready;
}

bool Channel::start_request(tarpc_service::Request&& request, MonotonicClock::time_point now, std::size_t frame_bytes) {
    const MonotonicClock::duration remaining =
        request.context.deadline > now ? request.context.deadline - now : MonotonicClock::duration::zero();

    log::Span span = QF_SPAN(log::Level::Info, log::targets::kTarpc, "RPC");
    if (span) {
        span.record(log::text("rpc.trace_id", tarpc_service::trace_id_text(request.context.trace_context.trace_id)));
        span.record(
            log::text("rpc.deadline", tarpc_service::deadline_text(std::chrono::system_clock::now(), remaining)));
        span.record(log::quoted("otel.kind", "server"));
    }
    request.context.trace_context.span_id = random_span_id();
    QF_LOG(log::Level::Trace, log::targets::kTarpc,
           "OpenTelemetry subscriber not installed; making unsampled child context.");
    {
        auto entered = span.enter();
        QF_LOG(log::Level::Info, log::targets::kTarpc, "ReceiveRequest");
    }
    std::shared_ptr<AbortSignal> abort = in_flight_.start_request(request.id, remaining, span, now);
    if (!abort) {
        auto entered = span.enter();
        QF_LOG(log::Level::Trace, log::targets::kTarpc, "DuplicateRequest");
        return false;
    }
    arm_deadline_timer();
    {
        auto entered = span.enter();
        QF_LOG(log::Level::Info, log::targets::kTarpc, "BeginRequest");
    }
    tasks_.push(RequestTask(*this, std::move(request), std::move(abort), std::move(span), frame_bytes));
    return true;
}

void Channel::cancel(const tarpc_service::Cancel& cancel) {
    if (in_flight_.cancel_request(cancel.request_id)) return;
    QF_LOG(log::Level::Trace, log::targets::kTarpc, "Received cancellation, but response handler is already complete.",
           log::text("rpc.trace_id", tarpc_service::trace_id_text(cancel.trace_context.trace_id)));
}

// ---- Write half ---------------------------------------------------------------------------

Expected<bool, ChannelError> Channel::write_out(ChannelError::Kind kind) {
    while (out_sent_ < out_.size()) {
        if (!readiness_.maybe_writable()) return false;
        std::error_code ec;
        const std::size_t n = socket_.write_some(asio::buffer(out_.data() + out_sent_, unwritten()), ec);
        if (ec == asio::error::would_block || ec == asio::error::try_again) {
            readiness_.full();
            return false;
        }
        if (ec == asio::error::interrupted) continue;
        if (ec) return unexpected(ChannelError{kind, IoError::from_error_code(ec).message()});
        if (n == 0) return unexpected(ChannelError{kind, "failed to write frame to transport"});
        out_sent_ += n;
    }
    out_sent_ = 0;
    if (out_.capacity() > kKeptOutgoingBytes) {
        std::vector<std::uint8_t>().swap(out_);
    } else {
        out_.clear();
    }
    return true;
}

Expected<Channel::Status, ChannelError> Channel::write_half(bool read_closed) {
    // Room for one more response: a full outgoing buffer is written out first; when the
    // socket takes no more now, the flush below tries again and the half ends pending.
    bool room = true;
    if (unwritten() >= kWriteHighWater) {
        auto written = write_out(ChannelError::Kind::Ready);
        if (!written) return unexpected(std::move(written).error());
        room = *written;
        if (!room) QF_LOG(log::Level::Trace, log::targets::kTarpc, "poll_flush");
    }
    // One finished response into the outgoing buffer; that of a request no longer in
    // flight (cancelled, expired or abandoned) is dropped.
    std::optional<FinishedResponse> next;
    if (room) next = responses_.take_finished();
    if (next) {
        if (std::optional<log::Span> span = in_flight_.remove_request(next->response.request_id)) {
            {
                auto entered = span->enter();
                QF_LOG(log::Level::Info, log::targets::kTarpc, "SendResponse");
            }
            if (next->over_frame_limit) {
                return unexpected(ChannelError{ChannelError::Kind::Write, std::string(kFrameTooBig)});
            }
            if (auto appended = tarpc_service::append_response_frame(out_, next->response); !appended) {
                return unexpected(ChannelError{ChannelError::Kind::Write, appended.error().detail});
            }
        }
        return Status::Ready;
    }
    // Nothing more to add: flush.
    QF_LOG(log::Level::Trace, log::targets::kTarpc, "poll_flush");
    auto flushed = write_out(ChannelError::Kind::Flush);
    if (!flushed) return unexpected(std::move(flushed).error());
    if (!*flushed) return Status::Pending;
    return read_closed && in_flight_.len() == 0 ? Status::Closed : Status::Pending;
}

// ---- Responses from request tasks ---------------------------------------------------------

void Channel::offer(tarpc_service::Response&& response, log::Span&& span, std::shared_ptr<AbortSignal>&& abort,
                    bool over_frame_limit) {
    if (closed_) {
        // The stream is gone: the response is dropped, quietly.
        auto entered = span.enter();
        QF_LOG(log::Level::Info, log::targets::kTarpc, "BufferResponse");
        return;
    }
    responses_.offer(std::move(response), std::move(span), std::move(abort), over_frame_limit);
    if (held_reply_bytes() >= kTrimAfterBytes) held_big_replies_ = true;
    report_held();
}

void Channel::report_held() noexcept {
    const std::size_t held = held_reply_bytes();
    if (held == reported_held_) return;
    budget_.change(std::exchange(reported_held_, held), held);
}

bool Channel::wait_for_shared_room() {
    if (waiting_for_room_) return true;
    const std::size_t held = held_reply_bytes();
    if (held == 0 || held >= kMaxWaitingReplyBytes || !budget_.spent()) return false;
    // Woken from the thread that freed the room: the wake-up is posted to this one's.
    std::weak_ptr<Channel> self = weak_from_this();
    waiting_for_room_ = budget_.wait_for_room(this, [self, executor = socket_.get_executor()] {
        asio::post(executor, [self] {
            if (std::shared_ptr<Channel> channel = self.lock()) {
                channel->waiting_for_room_ = false;
                if (!channel->closed_) channel->readiness_.wake();
            }
        });
    });
    return waiting_for_room_;
}

void Channel::notice_dropped(std::uint64_t id) {
    if (closed_) return;
    dropped_.push_back(id);
    // While the runtime goes down nothing runs again: no wake-up to post then.
    auto& context = static_cast<asio::io_context&>(asio::query(socket_.get_executor(), asio::execution::context));
    if (!context.stopped()) readiness_.wake();
}

// ---- Waiting for progress -------------------------------------------------------------------

// The timer is set for the earliest deadline; one that fires early (its request already
// gone) is set again at the next wait.
void Channel::arm_deadline_timer() {
    const std::optional<MonotonicClock::time_point> next = in_flight_.next_deadline();
    if (!readiness_.deadline_covers(next)) readiness_.set_deadline(*next, shared_from_this());
}

bool Channel::run_tasks() {
    return tasks_.run([this] { return held_reply_bytes(); }, [this] { return !budget_.spent(); });
}

asio::awaitable<void> Channel::wait_for_progress() {
    arm_deadline_timer();
    const Readiness::Wants wants{
        .read = !input_ended_ && !reading_paused(),
        .write = unwritten() != 0,
        .other_work = !dropped_.empty() || waiting_for_room_,
    };
    std::shared_ptr<void> owner = shared_from_this();
    co_await readiness_.wait(wants, reader_, std::move(owner));
}

void Channel::close_down() {
    closed_ = true;
    // Every request still in flight is aborted; queued responses are dropped unwritten.
    in_flight_.abort_all();
    tasks_.clear();
    responses_.clear();
    out_.clear();
    out_sent_ = 0;
    budget_.forget(this);
    waiting_for_room_ = false;
    report_held();
    readiness_.cancel();
    std::error_code ignored;
    socket_.close(ignored);
    if (held_big_replies_) runtime::trim_memory_soon();
}

asio::awaitable<void> serve_connection(transport::TransportStream stream, QuillFernTarpcServer handler,
                                       ReplyBudget& budget) {
    auto channel = std::make_shared<Channel>(std::move(stream), std::move(handler), budget);
    co_await channel->run();
}

}  // namespace quillfern::tarpc_server::detail

namespace quillfern::tarpc_server {

asio::awaitable<void> serve_connection(transport::TransportStream stream, QuillFernTarpcServer handler) {
    co_await detail::serve_connection(std::move(stream), std::move(handler), detail::process_reply_budget());
}

}  // namespace quillfern::tarpc_server
