// The sweep's inside: its bounds, the requests it writes from the store's forward copies,
// and the delivery queues that carry them to the peers across sweeps.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/steady_timer.hpp>

#include "quillfern/gossip_store.hpp"
#include "quillfern/mesh.hpp"

namespace quillfern::mesh {

// A sweep's requests are at most this many bytes each, as written; the store queues no
// copy that one of them could not carry.
using gossip::kMaxSpreadRequestBytes;
// Deliveries in flight at once, over every peer: each holds a connection, and a peer list
// of any length must leave the listeners their descriptors.
inline constexpr std::size_t kMaxDeliveriesInFlight = 64;
// A peer still busy with earlier requests (one in flight, or waiting for its turn) has the
// next ones queued up to this many bytes; a request past that is skipped for that peer.
inline constexpr std::size_t kMaxPeerQueueBytes = std::size_t{16} << 20;
// The requests that deliveries hold (in flight or queued), each counted once however many
// peers it waits for: past this, a new request goes only to peers with nothing in hand.
inline constexpr std::size_t kMaxHeldRequestBytes = std::size_t{128} << 20;

// The bounds of the sweeps and their deliveries; the defaults are the server's (tests
// shrink them).
struct SweepLimits {
    std::size_t request_bytes = kMaxSpreadRequestBytes;
    std::size_t deliveries = kMaxDeliveriesInFlight;  // in flight at once; 0 counts as 1
    std::size_t peer_queue_bytes = kMaxPeerQueueBytes;
    std::size_t held_bytes = kMaxHeldRequestBytes;
};

// The store's forward copies as "gossip.spread" requests of compact JSON,
// {"id":null,"jsonrpc":"2.0","method":"gossip.spread","params":{"entries":[...],"from":node_id}},
// each at most `max_bytes` long: the entries in queue order, a new request begun where the
// next entry would pass the bound. An entry too large for a request of its own is left
// out and counted. Every copy's text is written from the stored entry it shares, without
// building an entry for it.
struct SpreadRequests {
    struct Request {
        std::string text;
        std::size_t entries = 0;
    };
    std::vector<Request> requests;
    std::size_t dropped = 0;
};
SpreadRequests spread_requests(std::string_view node_id, std::span<const gossip::PendingCopy> batch,
                               std::size_t max_bytes = kMaxSpreadRequestBytes);

// The deliveries of every sweep, kept from one sweep to the next: each peer (by its address
// text) gets its requests one after the other in queue order, at most one in flight, and
// at most `limits.deliveries` are in flight in all; peers with requests waiting take
// their turns in the order they came to wait, a peer going to the back after each
// delivery. A peer whose last delivery took under a second is quick; the others (slow, or
// not known yet) have a line of their own and never hold the last eighth of the
// deliveries, which are kept for the quick ones. A peer that is behind (a delivery in flight or requests queued when a
// sweep begins) has the sweep's requests queued within `limits.peer_queue_bytes`, and while the requests held stay
// within `limits.held_bytes`; past either a request is skipped for it (the "Gossip spread skipped for a peer that is
// behind" WARN, at most once a second, counts them). A peer with nothing in hand takes the whole sweep. Everything runs
// on `executor`, one thread (as each of the runtime's workers is), so nothing here is locked.
class DeliveryQueues : public std::enable_shared_from_this<DeliveryQueues> {
public:
    struct Request {
        SharedPayload payload;
        std::size_t entries = 0;
    };

    static std::shared_ptr<DeliveryQueues> create(asio::any_io_executor executor,
                                                  std::shared_ptr<gossip::GossipStore> store, SweepLimits limits = {});
    ~DeliveryQueues();
    DeliveryQueues(const DeliveryQueues&) = delete;
    DeliveryQueues& operator=(const DeliveryQueues&) = delete;

    const SweepLimits& limits() const noexcept { return limits_; }

    // Queues every request for every peer, in list order (a peer listed twice gets each
    // request twice); each request's INFO line comes before any delivery of it starts.
    // Starts what the bounds allow and returns: it never waits for a delivery.
    void add(const std::vector<std::string>& peers, std::vector<Request> requests);

    std::size_t in_flight() const noexcept { return in_flight_; }
    // Bytes of the requests held by queues and deliveries in flight, each counted once.
    std::size_t held_bytes() const noexcept { return *held_bytes_; }
    // Completes once nothing is in flight or queued.
    asio::awaitable<void> idle();

private:
    struct Held;
    struct PeerTable;
    DeliveryQueues(asio::any_io_executor executor, std::shared_ptr<gossip::GossipStore> store, SweepLimits limits);
    void skipped(const std::string& peer);
    void start_what_fits();
    void delivery_ended(const std::string& peer, bool slow, std::chrono::steady_clock::duration took);

    asio::any_io_executor executor_;
    std::shared_ptr<gossip::GossipStore> store_;
    SweepLimits limits_;
    std::shared_ptr<std::size_t> held_bytes_ = std::make_shared<std::size_t>(0);
    std::size_t in_flight_ = 0;
    std::unique_ptr<PeerTable> peers_;
    std::size_t skipped_unreported_ = 0;
    std::chrono::steady_clock::time_point last_skip_warn_{};
    std::unique_ptr<asio::steady_timer> idle_;
};

// One sweep: finds the peers; with at least one, takes the pending forward copies and,
// when there are any, hands every request of the batch for every peer to `deliveries`.
// Never waits for a delivery: it ends once the requests are queued.
asio::awaitable<void> run_sweep(std::shared_ptr<gossip::GossipStore> store, DeliveryQueues& deliveries);

}  // namespace quillfern::mesh
