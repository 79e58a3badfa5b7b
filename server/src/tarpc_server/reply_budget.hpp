// The budget every binary RPC connection of the process shares for its finished replies.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

namespace quillfern::tarpc_server::detail {

// The finished replies all binary RPC connections hold together before their tasks wait.
inline constexpr std::size_t kTotalReplyBytes = 256 * 1024 * 1024;

// Bytes of finished replies held by many connections on many threads. Each connection
// reports what it holds; a connection whose tasks wait for room asks to be woken, and is,
// once (on the thread that freed the room), when the holdings drop below the total.
class ReplyBudget {
public:
    explicit ReplyBudget(std::size_t total) noexcept : total_(total) {}
    ReplyBudget(const ReplyBudget&) = delete;
    ReplyBudget& operator=(const ReplyBudget&) = delete;

    std::size_t total() const noexcept { return total_; }
    std::size_t held() const noexcept { return held_.load(); }
    bool spent() const noexcept { return held() >= total_; }

    // One holder now holds `after` bytes where it held `before`.
    void change(std::size_t before, std::size_t after);
    // Asks for `wake` to be called once there is room: false (and nothing registered) when
    // there is room now. `key` names the waiter for forget().
    bool wait_for_room(const void* key, std::function<void()> wake);
    // The waiter no longer waits (it ends): it is not woken.
    void forget(const void* key);

private:
    struct Waiter {
        const void* key;
        std::function<void()> wake;
    };
    void wake_waiters();

    const std::size_t total_;
    std::atomic<std::size_t> held_{0};
    std::atomic<bool> has_waiters_{false};
    std::mutex mutex_;
    std::vector<Waiter> waiters_;  // under mutex_
};

// The budget of this process's binary RPC connections: kTotalReplyBytes.
ReplyBudget& process_reply_budget();

}  // namespace quillfern::tarpc_server::detail
