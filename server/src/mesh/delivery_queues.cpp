// The deliveries of every sweep: one queue of requests per peer, at most one delivery in
// flight per peer and a bounded number in all, the peers taking their turns.
#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::spread {

namespace {

// The skip WARN comes at most this often; the skips in between are counted in the next.
constexpr auto kSkipWarnInterval = std::chrono::seconds(1);

}  // namespace

// A request as the queues and the deliveries hold it: counted in the held bytes while
// anyone does. (A delivery may outlive the queues at teardown, so the count is shared.)
struct DeliveryQueues::Held {
    Held(Request request, std::shared_ptr<std::size_t> held_bytes) noexcept
        : payload(std::move(request.payload)), held(std::move(held_bytes)) {
        *held += payload->size();
    }
    ~Held() { *held -= payload->size(); }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

    SharedPayload payload;
    std::shared_ptr<std::size_t> held;
};

struct DeliveryQueues::PeerTable {
    struct Peer {
        std::deque<std::shared_ptr<Held>> waiting;
        std::size_t waiting_bytes = 0;
        bool in_flight = false;
        bool in_turn = false;  // in `turns`, waiting for a delivery slot
    };
    std::unordered_map<std::string, Peer> peers;
    std::deque<std::string> turns;  // the peers with requests waiting, in the order they came to wait
};

std::shared_ptr<DeliveryQueues> DeliveryQueues::create(asio::any_io_executor executor,
                                                       std::shared_ptr<gossip::GossipStore> store, SweepLimits limits) {
    return std::shared_ptr<DeliveryQueues>(new DeliveryQueues(std::move(executor), std::move(store), limits));
}

DeliveryQueues::DeliveryQueues(asio::any_io_executor executor, std::shared_ptr<gossip::GossipStore> store,
                               SweepLimits limits)
    : executor_(std::move(executor)),
      store_(std::move(store)),
      limits_(limits),
      peers_(std::make_unique<PeerTable>()),
      idle_(std::make_unique<asio::steady_timer>(executor_, asio::steady_timer::time_point::max())) {
    limits_.deliveries = std::max<std::size_t>(limits_.deliveries, 1);
}

DeliveryQueues::~DeliveryQueues() = default;

void DeliveryQueues::add(const std::vector<std::string>& peers, std::vector<Request> requests) {
    // Who is behind is judged as the sweep begins: a peer with nothing in hand takes the
    // whole sweep (bounded by the pending list), one still busy only what the bounds allow.
    std::vector<bool> behind;
    behind.reserve(peers.size());
    for (const std::string& address : peers) {
        auto found = peers_->peers.find(address);
        behind.push_back(found != peers_->peers.end() && (found->second.in_flight || !found->second.waiting.empty()));
    }
    const std::size_t held_before = *held_bytes_;
    std::size_t sweep_bytes = 0;  // of this sweep's requests so far
    for (Request& request : requests) {
        QF_LOG(log::Level::Info, log::targets::kSpread, "Epidemic sweep: spreading gossip to peers",
               log::number("entries", request.entries), log::number("peers", peers.size()));
        const std::size_t size = request.payload->size();
        sweep_bytes += size;
        const bool room = held_before <= limits_.held_bytes && sweep_bytes <= limits_.held_bytes - held_before;
        auto held = std::make_shared<Held>(std::move(request), held_bytes_);
        for (std::size_t i = 0; i < peers.size(); ++i) {
            const std::string& address = peers[i];
            PeerTable::Peer& peer = peers_->peers[address];
            if (behind[i] && (!room || peer.waiting_bytes > limits_.peer_queue_bytes ||
                              size > limits_.peer_queue_bytes - peer.waiting_bytes)) {
                skipped(address);
                continue;
            }
            peer.waiting.push_back(held);
            peer.waiting_bytes += size;
            if (!peer.in_flight && !peer.in_turn) {
                peer.in_turn = true;
                peers_->turns.push_back(address);
            }
        }
    }
    start_what_fits();
}

void DeliveryQueues::skipped(const std::string& peer) {
    ++skipped_unreported_;
    const auto now = std::chrono::steady_clock::now();
    if (last_skip_warn_ != std::chrono::steady_clock::time_point{} && now - last_skip_warn_ < kSkipWarnInterval) {
        return;
    }
    QF_LOG(log::Level::Warn, log::targets::kSpread, "Gossip spread skipped for a peer that is behind",
           log::text("peer", peer), log::number("skipped", skipped_unreported_));
    skipped_unreported_ = 0;
    last_skip_warn_ = now;
}

void DeliveryQueues::start_what_fits() {
    while (in_flight_ < limits_.deliveries && !peers_->turns.empty()) {
        std::string address = std::move(peers_->turns.front());
        peers_->turns.pop_front();
        PeerTable::Peer& peer = peers_->peers[address];
        peer.in_turn = false;
        std::shared_ptr<Held> request = std::move(peer.waiting.front());
        peer.waiting.pop_front();
        peer.waiting_bytes -= request->payload->size();
        peer.in_flight = true;
        ++in_flight_;
        auto delivering = [](SpreadTask task, std::shared_ptr<Held> held) -> asio::awaitable<void> {
            co_await spread_to_peer(std::move(task));
            held.reset();  // the request is let go before the next delivery starts
        };
        SpreadTask task{address, request->payload, store_};
        asio::co_spawn(
            executor_, delivering(std::move(task), std::move(request)),
            [self = shared_from_this(), address](const std::exception_ptr&) mutable { self->delivery_ended(address); });
    }
}

void DeliveryQueues::delivery_ended(const std::string& address) {
    --in_flight_;
    auto found = peers_->peers.find(address);
    if (found != peers_->peers.end()) {
        PeerTable::Peer& peer = found->second;
        peer.in_flight = false;
        if (peer.waiting.empty()) {
            peers_->peers.erase(found);  // a peer no sweep names any more leaves nothing behind
        } else {
            peer.in_turn = true;
            peers_->turns.push_back(address);  // behind every peer that waited meanwhile
        }
    }
    start_what_fits();
    if (in_flight_ == 0 && peers_->turns.empty()) idle_->cancel();
}

asio::awaitable<void> DeliveryQueues::idle() {
    while (in_flight_ != 0 || !peers_->turns.empty()) {
        asio::error_code ignored;
        idle_->expires_at(asio::steady_timer::time_point::max());
        co_await idle_->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

}  // namespace quillfern::spread
