// The table of requests in flight on one connection, with its deadline queue.
#include "in_flight.hpp"

#include <algorithm>

#include "quillfern/log_targets.hpp"

namespace quillfern::tarpc_server {

namespace {
// A table that once held many requests gives memory back as it empties, keeping room
// for this many.
constexpr std::size_t kKeptRoom = 1000;
}  // namespace

std::uint64_t DeadlineQueue::elapsed_ms_ceil(Clock::time_point t) const {
    if (t <= start_) return 0;
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(t - start_).count();
    return (static_cast<std::uint64_t>(ns) + 999'999) / 1'000'000;
}

DeadlineQueue::Key DeadlineQueue::insert(std::uint64_t id, Clock::duration remaining, Clock::time_point now) {
    // Clamped to the horizon: a far deadline never fails and never wraps.
    remaining = std::clamp<Clock::duration>(remaining, Clock::duration::zero(), std::chrono::milliseconds(kHorizonMs));
    // A deadline that has passed is due at once; any other is rounded up, never early.
    const std::uint64_t due =
        remaining == Clock::duration::zero()
            ? static_cast<std::uint64_t>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(std::max(now, start_) - start_).count())
            : elapsed_ms_ceil(now + remaining);
    return due_.emplace(due, id);
}

std::optional<DeadlineQueue::Clock::time_point> DeadlineQueue::next_due() const {
    if (due_.empty()) return std::nullopt;
    return start_ + std::chrono::milliseconds(due_.begin()->first);
}

std::optional<std::uint64_t> DeadlineQueue::pop_due(Clock::time_point now) {
    if (due_.empty() || now < start_ + std::chrono::milliseconds(due_.begin()->first)) return std::nullopt;
    std::uint64_t id = due_.begin()->second;
    due_.erase(due_.begin());
    return id;
}

std::shared_ptr<AbortSignal> InFlightRequests::start_request(std::uint64_t id, DeadlineQueue::Clock::duration remaining,
                                                             log::Span span, DeadlineQueue::Clock::time_point now) {
    auto [it, inserted] = requests_.try_emplace(id);
    if (!inserted) return nullptr;
    it->second.abort = std::make_shared<AbortSignal>();
    it->second.deadline = deadlines_.insert(id, remaining, now);
    it->second.span = std::move(span);
    return it->second.abort;
}

bool InFlightRequests::cancel_request(std::uint64_t id) {
    auto it = requests_.find(id);
    if (it == requests_.end()) return false;
    Entry entry = std::move(it->second);
    requests_.erase(it);
    {
        auto entered = entry.span.enter();
        entry.abort->abort();
        deadlines_.remove(entry.deadline);
        QF_LOG(log::Level::Info, log::targets::kTarpcInFlight, "ReceiveCancel");
    }
    compact();
    return true;
}

std::optional<log::Span> InFlightRequests::remove_request(std::uint64_t id) {
    auto it = requests_.find(id);
    if (it == requests_.end()) return std::nullopt;
    log::Span span = std::move(it->second.span);
    deadlines_.remove(it->second.deadline);
    requests_.erase(it);
    compact();
    return span;
}

InFlightRequests::Polled InFlightRequests::poll_expired(DeadlineQueue::Clock::time_point now) {
    if (deadlines_.empty()) return {Expiry::Empty};
    std::optional<std::uint64_t> id = deadlines_.pop_due(now);
    if (!id) return {Expiry::NotYet};
    auto it = requests_.find(*id);
    if (it != requests_.end()) {
        Entry entry = std::move(it->second);
        requests_.erase(it);
        entry.abort->abort();
        {
            auto entered = entry.span.enter();
            QF_LOG(log::Level::Error, log::targets::kTarpcInFlight, "DeadlineExceeded");
        }
        compact();
    }
    return {Expiry::Expired, *id};
}

void InFlightRequests::abort_all() {
    for (auto& [id, entry] : requests_) entry.abort->abort();
    requests_.clear();
    while (!deadlines_.empty()) deadlines_.pop_due(DeadlineQueue::Clock::time_point::max());
}

void InFlightRequests::compact() {
    // Shrunk to the larger of kKeptRoom and ten times the entries left; with some slack,
    // so that a table emptying one by one is not rehashed at every removal.
    std::size_t keep = std::max(kKeptRoom, requests_.size() * 10);
    if (requests_.bucket_count() > 2 * keep) requests_.rehash(keep);
}

}  // namespace quillfern::tarpc_server
