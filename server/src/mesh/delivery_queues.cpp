// The deliveries of every sweep: one queue of requests per peer, at most one delivery in
// flight per peer and a bounded number in all, the peers taking their turns.
#include <algorithm>
#include <deque>
#include <exception>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <asio/co_spawn.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "sweep.hpp"

namespace quillfern::mesh {

namespace {

// The skip WARN comes at most this often; the skips in between are counted in the next.
constexpr auto kSkipWarnInterval = std::chrono::seconds(1);
// A delivery quicker than this (a peer that answers) makes its peer a quick one; a
// slower one (a peer that holds its reply to the 3 s limit, reads slowly, or is reached
// only through a relay that does) makes it slow again.
constexpr auto kQuickDelivery = std::chrono::seconds(1);
// Quick peers remembered between their deliveries; past this many the memory starts anew.
constexpr std::size_t kRememberedQuickPeers = 4096;

// Deliveries in flight kept for quick peers: an eighth of the bound (none when fewer than
// eight run at a time), so that a peer that answers never waits behind a crowd of slow
// or unknown ones for more than a delivery.
std::size_t kept_for_quick_peers(std::size_t deliveries) noexcept { return deliveries / 8; }

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
        bool in_turn = false;  // in a line, waiting for a delivery slot
    };
    std::unordered_map<std::string, Peer> peers;  // those with a delivery in flight or requests waiting
    std::unordered_set<std::string> quick;        // whose last delivery was quick
    // The peers with requests waiting, in the order they came to wait: the quick ones, and
    // the others (slow, or not known yet).
    std::deque<std::string> turns;
    std::deque<std::string> slow_turns;
    std::size_t slow_in_flight = 0;

    void wait_turn(const std::string& address, Peer& peer) {
        peer.in_turn = true;
        (quick.contains(address) ? turns : slow_turns).push_back(address);
    }
    void delivered(const std::string& address, std::chrono::steady_clock::duration took) {
        if (took >= kQuickDelivery) {
            quick.erase(address);
            return;
        }
        if (quick.size() == kRememberedQuickPeers) quick.clear();
        quick.insert(address);
    }
    bool anyone_waiting() const noexcept { return !turns.empty() || !slow_turns.empty(); }
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
            if (behind[i] && !room) {
                skipped(address);
                continue;
            }
            peer.waiting.push_back(held);
            peer.waiting_bytes += size;
            // A peer that is behind keeps its newest requests: the oldest waiting go first.
            while (behind[i] && peer.waiting_bytes > limits_.peer_queue_bytes && peer.waiting.size() > 1) {
                peer.waiting_bytes -= peer.waiting.front()->payload->size();
                peer.waiting.pop_front();
                skipped(address);
            }
            if (!peer.in_flight && !peer.in_turn) peers_->wait_turn(address, peer);
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
    const std::size_t slow_bound = limits_.deliveries - kept_for_quick_peers(limits_.deliveries);
    while (in_flight_ < limits_.deliveries) {
        std::deque<std::string>* line = nullptr;
        if (!peers_->turns.empty()) {
            line = &peers_->turns;
        } else if (!peers_->slow_turns.empty() && peers_->slow_in_flight < slow_bound) {
            line = &peers_->slow_turns;
        } else {
            break;
        }
        std::string address = std::move(line->front());
        line->pop_front();
        PeerTable::Peer& peer = peers_->peers[address];
        peer.in_turn = false;
        std::shared_ptr<Held> request = std::move(peer.waiting.front());
        peer.waiting.pop_front();
        peer.waiting_bytes -= request->payload->size();
        peer.in_flight = true;
        ++in_flight_;
        const bool slow = line == &peers_->slow_turns;
        if (slow) ++peers_->slow_in_flight;
        auto delivering = [](SpreadTask task, std::shared_ptr<Held> held) -> asio::awaitable<void> {
            co_await spread_to_peer(std::move(task));
            held.reset();  // the request is let go before the next delivery starts
        };
        SpreadTask task{address, request->payload, store_};
        asio::co_spawn(executor_, delivering(std::move(task), std::move(request)),
                       [self = shared_from_this(), address, slow,
                        started = std::chrono::steady_clock::now()](const std::exception_ptr&) mutable {
                           self->delivery_ended(address, slow, std::chrono::steady_clock::now() - started);
                       });
    }
}

void DeliveryQueues::delivery_ended(const std::string& address, bool slow, std::chrono::steady_clock::duration took) {
    --in_flight_;
    if (slow) --peers_->slow_in_flight;
    peers_->delivered(address, took);
    auto found = peers_->peers.find(address);
    if (found != peers_->peers.end()) {
        PeerTable::Peer& peer = found->second;
        peer.in_flight = false;
        if (peer.waiting.empty()) {
            peers_->peers.erase(found);  // a peer no sweep names any more leaves nothing behind
        } else {
            peers_->wait_turn(address, peer);  // behind every peer that waited meanwhile
        }
    }
    start_what_fits();
    if (in_flight_ == 0 && !peers_->anyone_waiting()) idle_->cancel();
}

asio::awaitable<void> DeliveryQueues::idle() {
    while (in_flight_ != 0 || peers_->anyone_waiting()) {
        asio::error_code ignored;
        idle_->expires_at(asio::steady_timer::time_point::max());
        co_await idle_->async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
}

}  // namespace quillfern::mesh
