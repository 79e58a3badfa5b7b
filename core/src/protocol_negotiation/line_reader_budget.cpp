// The budget of the bytes that grown read buffers hold across the process, the pausing of a
// reader that would pass it and the choice of the reader to close when it stays spent.
#include <algorithm>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include "line_reader_holder.hpp"
#include "quillfern/line_reader.hpp"

namespace quillfern::protocol_negotiation {

struct ReadBufferBudget::Wake {
    asio::any_io_executor executor;
    std::weak_ptr<Holder> holder;
};

ReadBufferBudget::ReadBufferBudget(std::size_t total, Clock::duration patience, std::size_t progress_bytes) noexcept
    : total_(total), patience_(patience), progress_bytes_(progress_bytes) {}

ReadBufferBudget::~ReadBufferBudget() = default;

ReadBufferBudget& ReadBufferBudget::process() {
    static ReadBufferBudget budget(kReadBufferBudgetBytes);
    return budget;
}

std::size_t ReadBufferBudget::held() const {
    std::lock_guard lock(mutex_);
    return held_;
}

std::size_t ReadBufferBudget::stalls() const {
    std::lock_guard lock(mutex_);
    return stalls_;
}

std::size_t ReadBufferBudget::closed_readers() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

bool ReadBufferBudget::hold(Holder& holder, std::size_t bytes) {
    std::vector<Wake> paused;
    {
        std::lock_guard lock(mutex_);
        if (bytes > holder.held) {
            if (bytes - holder.held > total_ - held_) return false;
            held_ += bytes - holder.held;
            holder.held = bytes;
            return true;
        }
        held_ -= holder.held - bytes;
        const bool gave_back = bytes < holder.held;
        holder.held = bytes;
        if (gave_back) {
            for (Holder* other : holders_) {
                if (other->wants_room) paused.push_back(Wake{other->executor, other->weak_from_this()});
            }
        }
    }
    for (const auto& other : paused) post_wake(other);
    return true;
}

std::size_t ReadBufferBudget::paused_readers() const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(
        std::count_if(holders_.begin(), holders_.end(), [](const Holder* holder) { return holder->wants_room; }));
}

void ReadBufferBudget::join(Holder& holder) {
    std::lock_guard lock(mutex_);
    holders_.push_back(&holder);
    holder.progress_at = Clock::now();
}

void ReadBufferBudget::set_waiting(Holder& holder, bool waiting, bool wants_room) {
    std::lock_guard lock(mutex_);
    holder.waiting = waiting;
    holder.wants_room = wants_room;
}

void ReadBufferBudget::received(Holder& holder, std::size_t bytes, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    holder.progress += bytes;
    if (holder.progress >= progress_bytes_) {
        holder.progress = 0;
        holder.progress_at = now;
    }
}

bool ReadBufferBudget::closing(Holder& holder) {
    std::lock_guard lock(mutex_);
    return holder.closing;
}

void ReadBufferBudget::close_one(Clock::time_point now) {
    Wake chosen;
    {
        std::lock_guard lock(mutex_);
        ++stalls_;
        if (last_close_ && now - *last_close_ < patience_) return;
        Holder* largest = nullptr;
        for (Holder* holder : holders_) {
            // Waiting on an unfinished line, and no longer getting it at any pace.
            if (holder->held == 0 || !holder->waiting || holder->closing || now - holder->progress_at < patience_) {
                continue;
            }
            if (largest == nullptr || holder->held > largest->held ||
                (holder->held == largest->held && holder->progress_at < largest->progress_at)) {
                largest = holder;
            }
        }
        if (largest == nullptr) return;
        largest->closing = true;
        ++closed_;
        last_close_ = now;
        chosen = Wake{largest->executor, largest->weak_from_this()};
    }
    post_wake(chosen);
}

void ReadBufferBudget::leave(Holder& holder) {
    hold(holder, 0);
    std::lock_guard lock(mutex_);
    holders_.erase(std::find(holders_.begin(), holders_.end(), &holder));
}

void ReadBufferBudget::post_wake(const Wake& wake) {
    // The timer belongs to the reader's thread: it is cancelled there, if the reader is still there.
    asio::post(wake.executor, [holder = wake.holder] {
        if (auto alive = holder.lock()) alive->wake.cancel();
    });
}

}  // namespace quillfern::protocol_negotiation
