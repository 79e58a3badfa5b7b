// The spread sweep and its loop: every tick, the queued forward copies go to every peer
// in "gossip.spread" requests of a bounded size, each built once and shared by its
// deliveries, which the sweep hands to the delivery queues without waiting for them.
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/this_coro.hpp>

#include "quillfern/fixed_schedule.hpp"
#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "sweep.hpp"

namespace quillfern::mesh {

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

// Entries of a sweep that no request could carry: the ones the store never queued and the
// ones the sweep left out.
void report_too_large(std::size_t count, std::size_t limit_bytes) {
    if (count == 0) return;
    QF_LOG(log::Level::Warn, log::targets::kSpread, "Gossip entries too large for any spread request dropped",
           log::number("count", count), log::number("limit_bytes", limit_bytes));
}

}  // namespace

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

asio::awaitable<void> run_sweep(std::shared_ptr<gossip::GossipStore> store, DeliveryQueues& deliveries) {
    const SweepLimits& limits = deliveries.limits();
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

    std::vector<DeliveryQueues::Request> requests;
    try {
        SpreadRequests built = spread_requests(store->node_id(), batch, limits.request_bytes);
        batch = {};  // the requests hold everything the peers need
        dropped += built.dropped;
        requests.reserve(built.requests.size());
        for (SpreadRequests::Request& request : built.requests) {
            requests.push_back({std::make_shared<const std::string>(std::move(request.text)), request.entries});
        }
    } catch (const std::exception& error) {
        QF_LOG(log::Level::Warn, log::targets::kSpread, "Failed to serialize gossip batch",
               log::text("error", error.what()));
        report_too_large(dropped, limits.request_bytes);
        co_return;
    }
    report_too_large(dropped, limits.request_bytes);
    if (requests.empty()) co_return;

    deliveries.add(peers, std::move(requests));
}

asio::awaitable<void> spread_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs) {
    const auto executor = co_await asio::this_coro::executor;
    FixedSchedule schedule(executor, FixedSchedule::seconds(interval_secs));
    // The deliveries run beside the loop, on its thread; a tick never waits for them.
    std::shared_ptr<DeliveryQueues> deliveries = DeliveryQueues::create(executor, store);
    for (;;) {
        co_await schedule.next_tick();
        try {
            auto sweeping = run_sweep(store, *deliveries);
            co_await std::move(sweeping);
        } catch (const std::exception&) {
            // A sweep that failed (out of memory) loses its batch; the next tick tries again.
        }
    }
}

}  // namespace quillfern::mesh
