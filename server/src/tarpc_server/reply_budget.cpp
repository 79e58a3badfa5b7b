// The shared budget of finished binary RPC replies and the wake-ups of the connections
// that wait for it.
#include "reply_budget.hpp"

#include <algorithm>

namespace quillfern::tarpc_server::detail {

void ReplyBudget::change(std::size_t before, std::size_t after) {
    if (after >= before) {
        held_.fetch_add(after - before);
        return;
    }
    const std::size_t now = held_.fetch_sub(before - after) - (before - after);
    // A waiter registers before it looks at the holdings again, so one of the two sees the other.
    if (now < total_ && has_waiters_.load()) wake_waiters();
}

bool ReplyBudget::wait_for_room(const void* key, std::function<void()> wake) {
    std::lock_guard lock(mutex_);
    has_waiters_.store(true);
    if (!spent()) {
        has_waiters_.store(!waiters_.empty());
        return false;
    }
    waiters_.push_back({key, std::move(wake)});
    return true;
}

void ReplyBudget::forget(const void* key) {
    std::lock_guard lock(mutex_);
    std::erase_if(waiters_, [key](const Waiter& waiter) { return waiter.key == key; });
    has_waiters_.store(!waiters_.empty());
}

void ReplyBudget::wake_waiters() {
    std::vector<Waiter> woken;
    {
        std::lock_guard lock(mutex_);
        if (spent()) return;
        woken.swap(waiters_);
        has_waiters_.store(false);
    }
    for (Waiter& waiter : woken) waiter.wake();
}

ReplyBudget& process_reply_budget() {
    static ReplyBudget budget(kTotalReplyBytes);
    return budget;
}

}  // namespace quillfern::tarpc_server::detail
