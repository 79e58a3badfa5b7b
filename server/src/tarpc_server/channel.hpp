// One connection of the binary RPC socket: its request stream and the tasks of its
// requests. Everything here runs on the connection's own thread (the request tasks from
// the connection's run queue), so nothing is locked.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "in_flight.hpp"
#include "quillfern/expected.hpp"
#include "quillfern/log.hpp"
#include "quillfern/tarpc_server.hpp"
#include "quillfern/tarpc_service.hpp"
#include "quillfern/transport.hpp"
#include "readiness.hpp"
#include "reply_budget.hpp"
#include "request_task.hpp"
#include "response_queue.hpp"
#include "run_queue.hpp"

namespace quillfern::tarpc_server::detail {

using tarpc_service::MonotonicClock;

// Bounds of one connection's memory: while this many requests are in flight, or the
// finished replies waiting to be written exceed kMaxWaitingReplyBytes, no new frame is
// read; reading goes on as they drain. All connections together are held to their shared
// ReplyBudget as well.
inline constexpr std::size_t kMaxInFlightRequests = 1024;
inline constexpr std::size_t kMaxWaitingReplyBytes = 64 * 1024 * 1024;
// Responses are written out once this many bytes wait, or when no response is queued.
inline constexpr std::size_t kWriteHighWater = 8192;

// The stream's error: what failed (its own text) and why (the transport's text).
struct ChannelError {
    enum class Kind : std::uint8_t { Read, Ready, Write, Flush, Close };
    Kind kind;
    std::string cause;

    std::string_view text() const noexcept;
    // The text, ": " and the cause.
    std::string chain() const;
};

// The request stream of one connection. Each step runs the read half (cancellation
// notices, expired deadlines, then one message from the client) before the write half (one
// finished response into the outgoing buffer, or a flush), so that a cancellation or an
// expiry always wins over a response that is not yet written.
class Channel : public std::enable_shared_from_this<Channel> {
public:
    // `budget` is shared with the other connections and outlives this one.
    Channel(transport::TransportStream stream, QuillFernTarpcServer handler, ReplyBudget& budget);
    ~Channel();
    Channel(const Channel&) = delete;
    Channel& operator=(const Channel&) = delete;

    // Runs the stream until it ends or fails, starting a task for every request.
    asio::awaitable<void> run();

    // ---- The request tasks' side --------------------------------------------------------

    // A request's finished response: queued, or waiting for room behind the full queue.
    // Logs "BufferResponse" in the span once the response is queued (at once, or later
    // when the stream frees a slot); an aborted request's waiting response is dropped
    // without it. One `over_frame_limit` stands for a reply too long for a frame.
    void offer(tarpc_service::Response&& response, log::Span&& span, std::shared_ptr<AbortSignal>&& abort,
               bool over_frame_limit = false);
    // A request task ended before its work did: the request is to be forgotten.
    void notice_dropped(std::uint64_t id);
    const QuillFernTarpcServer& handler() const noexcept { return handler_; }

private:
    // How one source of the read half, the read half as a whole or the write half ended
    // a pass: it made progress, it has nothing now but will wake the stream, or it has
    // nothing that holds the connection open.
    enum class Status : std::uint8_t { Ready, Pending, Closed };
    // What one poll of the stream gives the connection task: a new request (handed out to
    // the run queue), the stream's error, its end, or nothing yet.
    struct Step {
        enum class Kind : std::uint8_t { Request, Error, End, Pending } kind;
        std::optional<ChannelError> error;
    };
    // The read half's end: Ready with a new request handed out, or Pending or Closed.
    struct ReadEnd {
        Status status;
        bool handed_out = false;
    };
    // One message from the client: a new request handed out, a request dropped as a
    // duplicate, or the status of the inbound source when it gave neither.
    struct Inbound {
        Status status;
        bool handed_out = false;
        bool duplicate = false;
    };

    Step step();
    Expected<ReadEnd, ChannelError> read_half();
    Status read_cancellation_notice();
    Status read_expiry();
    Expected<Inbound, ChannelError> read_inbound();
    // Fills the frame reader from the socket without blocking: Ready when bytes came,
    // Pending when none are there now, Closed at the end of input.
    Expected<Status, ChannelError> fill();
    // Puts the request in flight and its task in the run queue; false when its id already
    // is in flight. `now` is the clock reading its deadline was decoded with.
    bool start_request(tarpc_service::Request&& request, MonotonicClock::time_point now, std::size_t frame_bytes);
    void cancel(const tarpc_service::Cancel& cancel);
    // Ready when it took a response off the queue, else Pending or Closed (`read_closed`
    // and nothing in flight once everything is written).
    Expected<Status, ChannelError> write_half(bool read_closed);
    // Writes the outgoing buffer without blocking: true when all of it went out; a
    // failure is reported as `kind`.
    Expected<bool, ChannelError> write_out(ChannelError::Kind kind);
    std::size_t unwritten() const noexcept { return out_.size() - out_sent_; }
    // Finished replies not yet written: queued, waiting for a slot, or in the outgoing buffer.
    std::size_t held_reply_bytes() const noexcept { return responses_.bytes() + unwritten(); }
    // No new frame is read while too many requests are in flight or too many bytes wait,
    // replies and the requests whose tasks have not run.
    bool reading_paused() const noexcept;

    // Runs the request tasks that can run, for about one slice of time: true when it
    // stopped with tasks that could still run.
    bool run_tasks();
    bool can_run_task() const noexcept { return tasks_.can_run(held_reply_bytes(), !budget_.spent()); }
    // Tells the shared budget what the connection holds now.
    void report_held() noexcept;
    // Whether the tasks wait for room in the shared budget alone; if so the budget wakes
    // the connection once there is room.
    bool wait_for_shared_room();
    asio::awaitable<void> yield();
    asio::awaitable<void> wait_for_progress();
    void arm_deadline_timer();
    void close_down();

    // The clock as read when the current step began, or for its last frame. Deadlines are
    // checked against it: none expires early, and none is seen later than the next step.
    MonotonicClock::time_point step_now_;
    bool step_now_is_fresh_ = false;  // read since the step last did anything
    transport::TransportStream socket_;
    QuillFernTarpcServer handler_;
    tarpc_service::FrameReader reader_;
    std::vector<std::uint8_t> out_;
    std::size_t out_sent_ = 0;
    InFlightRequests in_flight_;
    ResponseQueue responses_;
    std::deque<std::uint64_t> dropped_;
    RunQueue tasks_{kMaxWaitingReplyBytes};
    bool input_ended_ = false;
    bool closed_ = false;
    bool held_big_replies_ = false;  // memory to give back when the connection ends
    ReplyBudget& budget_;
    std::size_t reported_held_ = 0;  // what the shared budget counts for this connection
    bool waiting_for_room_ = false;  // the shared budget is to wake the connection
    Readiness readiness_;            // after the socket, which it refers to
};

// serve_connection with a budget of the caller's own in place of the process's.
asio::awaitable<void> serve_connection(transport::TransportStream stream, QuillFernTarpcServer handler,
                                       ReplyBudget& budget);

}  // namespace quillfern::tarpc_server::detail
