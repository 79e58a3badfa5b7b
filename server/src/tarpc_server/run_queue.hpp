// The run queue of one binary RPC connection: the tasks of its requests, waiting for their
// turn on the connection's thread.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <deque>

#include "request_task.hpp"

namespace quillfern::tarpc_server::detail {

// Request tasks in the order they were handed out. A task runs only while the finished
// replies its connection holds are below their budget, and while the process's shared
// budget has room or the connection holds none; what would exceed them waits, like the
// frames not yet read. Used by the connection's own thread only.
class RunQueue {
public:
    using Clock = std::chrono::steady_clock;
    // The longest run of tasks before the connection lets the other connections of its
    // thread have their turn (one task more may run over it).
    static constexpr auto kSlice = std::chrono::milliseconds(1);

    // Tasks run while the finished replies their connection holds are below `reply_budget` bytes.
    explicit RunQueue(std::size_t reply_budget) noexcept : reply_budget_(reply_budget) {}

    void push(RequestTask&& task) {
        bytes_ += task.bytes();
        tasks_.push_back(std::move(task));
    }
    bool empty() const noexcept { return tasks_.empty(); }
    // The frames of the requests whose tasks wait.
    std::size_t bytes() const noexcept { return bytes_; }
    // Drops every task unrun: each tells its connection to forget its request.
    void clear() noexcept {
        tasks_.clear();
        bytes_ = 0;
    }

    // Whether the next task may run with `held_reply_bytes` of finished replies held, and
    // with room or none in the shared budget (`shared_room`).
    bool can_run(std::size_t held_reply_bytes, bool shared_room) const noexcept {
        return !tasks_.empty() && held_reply_bytes < reply_budget_ && (shared_room || held_reply_bytes == 0);
    }
    // Runs tasks in order while they can run, for about one slice of time: true when it
    // stopped with tasks that could still run. `held_reply_bytes()` gives the bytes of the
    // finished replies the connection holds; the tasks add to them. `shared_room()` tells
    // whether the shared budget has room.
    template <class HeldReplyBytes, class SharedRoom>
    bool run(const HeldReplyBytes& held_reply_bytes, const SharedRoom& shared_room);

private:
    static constexpr int kTasksBetweenClockReadings = 16;
    static constexpr std::size_t kBytesBetweenClockReadings = 16 * 1024;

    std::size_t reply_budget_;
    std::deque<RequestTask> tasks_;
    std::size_t bytes_ = 0;  // the frames of the requests in tasks_
};

template <class HeldReplyBytes, class SharedRoom>
bool RunQueue::run(const HeldReplyBytes& held_reply_bytes, const SharedRoom& shared_room) {
    const Clock::time_point start = Clock::now();
    // The clock is read again after a few tasks, or sooner after one that took or gave
    // many bytes: the work that takes long.
    int tasks = 0;
    std::size_t bytes = 0;
    while (can_run(held_reply_bytes(), shared_room())) {
        // Run where it waits: the task touches nothing of the run queue.
        RequestTask& task = tasks_.front();
        bytes_ -= task.bytes();
        const std::size_t held = held_reply_bytes();
        bytes += task.bytes();
        task();
        tasks_.pop_front();
        const std::size_t now_held = held_reply_bytes();
        bytes += now_held - std::min(held, now_held);
        if (++tasks < kTasksBetweenClockReadings && bytes < kBytesBetweenClockReadings) continue;
        tasks = 0;
        bytes = 0;
        if (Clock::now() - start >= kSlice) return can_run(held_reply_bytes(), shared_room());
    }
    return false;
}

}  // namespace quillfern::tarpc_server::detail
