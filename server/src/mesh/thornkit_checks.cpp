// The process-wide bound on thornKit checks: a few checks in flight, a bounded number of
// batches waiting for them, the waiting entries served in turn whatever thread they run
// on; and the look for thornKit's socket, made at most once a second.
#include <algorithm>
#include <chrono>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"
#include "thornkit_checks.hpp"

namespace quillfern::mesh {

namespace {

// An entry waiting for its check, on the thread of its own connection: it is woken there
// by cancelling its timer, and `granted` says whether a check came with the wake.
struct Waiter {
    explicit Waiter(const asio::any_io_executor& executor)
        : executor(executor), wake(executor, asio::steady_timer::time_point::max()) {}
    asio::any_io_executor executor;
    asio::steady_timer wake;
    bool granted = false;  // under the bound's mutex
};

constexpr auto kThornkitLookInterval = std::chrono::seconds(1);

}  // namespace

struct CheckBound::State {
    State(std::size_t checks, std::size_t batches) noexcept
        : checks(std::max<std::size_t>(checks, 1)), batches(std::max<std::size_t>(batches, 1)) {}
    std::mutex mutex;
    const std::size_t checks;
    const std::size_t batches;
    std::size_t checks_taken = 0;
    std::size_t batches_taken = 0;
    std::deque<std::shared_ptr<Waiter>> waiting;
};

CheckBound::CheckBound(std::size_t checks, std::size_t batches) : state_(std::make_unique<State>(checks, batches)) {}

CheckBound::~CheckBound() = default;

std::optional<CheckBound::Batch> CheckBound::join() {
    std::lock_guard lock(state_->mutex);
    if (state_->batches_taken == state_->batches) return std::nullopt;
    ++state_->batches_taken;
    return Batch(this);
}

CheckBound::Batch::~Batch() {
    if (bound_ == nullptr) return;
    std::lock_guard lock(bound_->state_->mutex);
    --bound_->state_->batches_taken;
}

asio::awaitable<CheckBound::Check> CheckBound::Batch::check() {
    State& state = *bound_->state_;
    const asio::any_io_executor executor = co_await asio::this_coro::executor;
    std::shared_ptr<Waiter> waiter;
    {
        std::lock_guard lock(state.mutex);
        if (state.checks_taken < state.checks && state.waiting.empty()) {
            ++state.checks_taken;
            co_return Check(bound_);
        }
        waiter = std::make_shared<Waiter>(executor);
        state.waiting.push_back(waiter);
    }
    // Given up while it waits (its task destroyed at teardown): out of the line, or a
    // check that came meanwhile passed on.
    struct Leave {
        CheckBound* bound;
        Waiter* waiter;
        bool served = false;
        ~Leave() {
            if (served) return;
            bool granted = false;
            {
                std::lock_guard lock(bound->state_->mutex);
                auto& line = bound->state_->waiting;
                for (auto it = line.begin(); it != line.end(); ++it) {
                    if (it->get() == waiter) {
                        line.erase(it);
                        break;
                    }
                }
                granted = waiter->granted;
            }
            if (granted) bound->release_check();
        }
    } leave{bound_, waiter.get()};
    for (;;) {
        asio::error_code ignored;
        co_await waiter->wake.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
        std::lock_guard lock(state.mutex);
        if (waiter->granted) break;
        waiter->wake.expires_at(asio::steady_timer::time_point::max());
    }
    leave.served = true;
    co_return Check(bound_);
}

CheckBound::Check::~Check() {
    if (bound_ != nullptr) bound_->release_check();
}

void CheckBound::release_check() noexcept {
    std::lock_guard lock(state_->mutex);
    if (state_->waiting.empty()) {
        --state_->checks_taken;
        return;
    }
    // The check passes straight to the entry that waited longest, woken on its own thread.
    std::shared_ptr<Waiter> next = std::move(state_->waiting.front());
    state_->waiting.pop_front();
    next->granted = true;
    const asio::any_io_executor executor = next->executor;
    asio::post(executor, [next = std::move(next)] { next->wake.cancel(); });
}

std::size_t CheckBound::checks_in_flight() const {
    std::lock_guard lock(state_->mutex);
    return state_->checks_taken;
}

std::size_t CheckBound::batches() const {
    std::lock_guard lock(state_->mutex);
    return state_->batches_taken;
}

CheckBound& thornkit_checks() {
    // Never destroyed: tasks on every worker may hold a place until the very end.
    static CheckBound* const bound = new CheckBound(kMaxThornkitChecks, kMaxCheckedBatches);
    return *bound;
}

bool ThornkitLookup::present() {
    if (looked_ && ++asked_ < 64) return present_;
    asked_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (!looked_ || now - *looked_ >= kThornkitLookInterval) {
        present_ = paths::exists(paths::thornkit_socket_path());
        looked_ = now;
    }
    return present_;
}

}  // namespace quillfern::mesh
