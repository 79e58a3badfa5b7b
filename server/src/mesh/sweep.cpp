// The spread sweep and its loop: every tick, the queued forward copies go to every peer
// in "gossip.spread" requests of a bounded size, each built once and shared by its
// deliveries, with a bounded number of peers served at a time.
#include <algorithm>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/fixed_schedule.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::spread {

namespace {

constexpr std::string_view kRequestHead =
    R"({"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[)";

// The store counts a request's head and tail as at most this, the node id aside.
static_assert(kRequestHead.size() + std::string_view(R"(],"from":""}})").size() <= gossip::kSpreadRequestFrameBytes);

// What follows the entries: the sender's node id and the closing brackets.
std::string request_tail(std::string_view node_id) {
    std::string tail = R"(],"from":)";
    json::write_string(tail, node_id);
    tail += "}}";
    return tail;
}

// The deliveries of one sweep: every request to every peer. Each worker serves one peer
// at a time, the requests one after the other in queue order, so a receiver gets the
// batch as it was queued, on one connection at a time. Workers, their completions and the
// sweep's wait all run on the sweep's executor, one thread, so nothing here is locked.
class SweepDeliveries {
public:
    struct Request {
        SharedPayload payload;
        std::size_t entries = 0;
        std::size_t started = 0;  // deliveries of it begun
    };

    SweepDeliveries(const asio::any_io_executor& executor, std::vector<std::string> peers,
                    std::vector<Request> requests, std::shared_ptr<gossip::GossipStore> store)
        : peers_(std::move(peers)),
          requests_(std::move(requests)),
          store_(std::move(store)),
          all_done_(executor, asio::steady_timer::time_point::max()) {}

    std::size_t peers() const noexcept { return peers_.size(); }
    std::size_t requests() const noexcept { return requests_.size(); }

    // The next peer to serve (its place in the list), or none when every one is taken.
    std::optional<std::size_t> next_peer() noexcept {
        if (next_peer_ == peers_.size()) return std::nullopt;
        return next_peer_++;
    }

    // The delivery of one request to one peer. A request's INFO line comes before its
    // first delivery starts; once its last delivery has begun, only the deliveries hold
    // its bytes.
    SpreadTask delivery(std::size_t peer, std::size_t index) {
        Request& request = requests_[index];
        if (index == announced_) {
            QF_LOG(log::Level::Info, log::targets::kSpread, "Epidemic sweep: spreading gossip to peers",
                   log::number("entries", request.entries), log::number("peers", peers_.size()));
            ++announced_;
        }
        SpreadTask task{peers_[peer], request.payload, store_};
        if (++request.started == peers_.size()) request.payload.reset();
        return task;
    }

    void worker_started() noexcept { ++running_; }
    void worker_ended() {
        if (--running_ == 0) all_done_.cancel();
    }
    // Completes when the last worker has ended.
    asio::awaitable<void> all_done() {
        if (running_ == 0) co_return;
        asio::error_code ignored;
        co_await all_done_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }

private:
    std::vector<std::string> peers_;
    std::vector<Request> requests_;
    std::shared_ptr<gossip::GossipStore> store_;
    std::size_t next_peer_ = 0;
    std::size_t announced_ = 0;  // requests whose INFO line is out
    std::size_t running_ = 0;
    asio::steady_timer all_done_;  // never expires; cancelled by the last worker
};

// Entries of a sweep that no request could carry: the ones the store never queued and the
// ones the sweep left out.
void report_too_large(std::size_t count, std::size_t limit_bytes) {
    if (count == 0) return;
    QF_LOG(log::Level::Warn, log::targets::kSpread, "Gossip entries too large for any spread request dropped",
           log::number("count", count), log::number("limit_bytes", limit_bytes));
}

// One of the sweep's workers: serves peers one after the other until none is left.
asio::awaitable<void> delivery_worker(std::shared_ptr<SweepDeliveries> deliveries) {
    while (auto peer = deliveries->next_peer()) {
        for (std::size_t index = 0; index < deliveries->requests(); ++index) {
            auto delivering = spread_to_peer(deliveries->delivery(*peer, index));
            co_await std::move(delivering);
        }
    }
}

}  // namespace

std::string spread_request(std::string_view node_id, std::span<const gossip::GossipEntry> batch) {
    std::string request(kRequestHead);
    bool first = true;
    for (const gossip::GossipEntry& entry : batch) {
        if (!first) request += ',';
        first = false;
        gossip::append_entry_json(request, entry);
    }
    request += request_tail(node_id);
    return request;
}

SpreadRequests spread_requests(std::string_view node_id, std::span<const gossip::GossipEntry> batch,
                               std::size_t max_bytes) {
    const std::string tail = request_tail(node_id);
    auto fits = [&](std::size_t size) { return size <= max_bytes && tail.size() <= max_bytes - size; };
    SpreadRequests out;
    SpreadRequests::Request open{std::string(kRequestHead), 0};  // the request being filled
    auto close_open = [&] {
        open.text += tail;
        out.requests.push_back(std::move(open));
        open = {std::string(kRequestHead), 0};
    };
    // Each entry is written straight into the open request, and taken out again when it
    // passes the bound: it then begins the next request, or is left out when it is too
    // large for a request of its own.
    for (const gossip::GossipEntry& entry : batch) {
        const std::size_t mark = open.text.size();
        if (open.entries > 0) open.text += ',';
        const std::size_t start = open.text.size();
        gossip::append_entry_json(open.text, entry);
        if (fits(open.text.size())) {
            ++open.entries;
            continue;
        }
        const std::size_t written = open.text.size() - start;
        if (open.entries == 0 || !fits(kRequestHead.size() + written)) {
            open.text.resize(mark);
            if (open.text.capacity() > 2 * max_bytes) open.text.shrink_to_fit();  // after a huge entry
            ++out.dropped;
            continue;
        }
        std::string next(kRequestHead);
        next.append(open.text, start, written);
        open.text.resize(mark);
        close_open();
        open = {std::move(next), 1};
    }
    if (open.entries > 0) close_open();
    return out;
}

SpreadRequests spread_requests(std::string_view node_id, std::span<const gossip::PendingCopy> batch,
                               std::size_t max_bytes) {
    const std::string tail = request_tail(node_id);
    // Whether `base` bytes and then `size` more still leave room for the tail.
    auto fits = [&](std::size_t base, std::size_t size) {
        return size <= max_bytes && base <= max_bytes - size && tail.size() <= max_bytes - size - base;
    };
    SpreadRequests out;
    SpreadRequests::Request open{std::string(kRequestHead), 0};  // the request being filled
    auto close_open = [&] {
        open.text += tail;
        out.requests.push_back(std::move(open));
        open = {std::string(kRequestHead), 0};
    };
    // A copy knows the length of its text, so where it goes is decided before it is
    // written: into the open request, at the head of the next one, or nowhere when it is
    // too large for a request of its own (then it is never written at all).
    for (const gossip::PendingCopy& copy : batch) {
        const std::size_t size = copy.json_size();
        const std::size_t comma = open.entries > 0 ? 1 : 0;
        if (fits(open.text.size() + comma, size)) {
            if (comma) open.text += ',';
            gossip::append_entry_json(open.text, copy);
            ++open.entries;
            continue;
        }
        if (!fits(kRequestHead.size(), size)) {
            ++out.dropped;
            continue;
        }
        close_open();  // holds an entry: a copy that fits alone would have fitted an empty request
        gossip::append_entry_json(open.text, copy);
        open.entries = 1;
    }
    if (open.entries > 0) close_open();
    return out;
}

asio::awaitable<void> run_sweep(std::shared_ptr<gossip::GossipStore> store, SweepLimits limits) {
    auto discovering = discover_peers();
    std::vector<std::string> peers = co_await std::move(discovering);
    if (peers.empty()) {
        // The copies stay queued for a sweep that finds peers; the ones never queued are gone.
        report_too_large(store->take_oversized_copies(), limits.request_bytes);
        co_return;
    }

    std::vector<gossip::PendingCopy> batch = store->take_pending_copies();
    std::size_t dropped = store->take_oversized_copies();
    if (batch.empty()) {
        report_too_large(dropped, limits.request_bytes);
        co_return;
    }

    std::vector<SweepDeliveries::Request> requests;
    try {
        SpreadRequests built = spread_requests(store->node_id(), batch, limits.request_bytes);
        batch = {};  // the requests hold everything the peers need
        dropped += built.dropped;
        requests.reserve(built.requests.size());
        for (SpreadRequests::Request& request : built.requests) {
            requests.push_back({std::make_shared<const std::string>(std::move(request.text)), request.entries, 0});
        }
    } catch (const std::exception& error) {
        QF_LOG(log::Level::Warn, log::targets::kSpread, "Failed to serialize gossip batch",
               log::text("error", error.what()));
        report_too_large(dropped, limits.request_bytes);
        co_return;
    }
    report_too_large(dropped, limits.request_bytes);
    if (requests.empty()) co_return;

    const auto executor = co_await asio::this_coro::executor;
    auto deliveries = std::make_shared<SweepDeliveries>(executor, std::move(peers), std::move(requests), store);
    const std::size_t workers = std::min(std::max<std::size_t>(limits.deliveries, 1), deliveries->peers());
    for (std::size_t i = 0; i < workers; ++i) {
        deliveries->worker_started();
        asio::co_spawn(executor, delivery_worker(deliveries),
                       [deliveries](const std::exception_ptr&) { deliveries->worker_ended(); });
    }
    auto waiting = deliveries->all_done();
    co_await std::move(waiting);
}

}  // namespace quillfern::spread

namespace quillfern::mesh {

asio::awaitable<void> spread_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs) {
    FixedSchedule schedule(co_await asio::this_coro::executor, FixedSchedule::seconds(interval_secs));
    for (;;) {
        co_await schedule.next_tick();
        try {
            auto sweeping = spread::run_sweep(store);
            co_await std::move(sweeping);
        } catch (const std::exception&) {
            // A sweep that failed (out of memory) loses its batch; the next tick tries again.
        }
    }
}

}  // namespace quillfern::mesh
