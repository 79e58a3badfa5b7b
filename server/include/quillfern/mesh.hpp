// The gossip mesh: how a batch of entries travels from this gate's store to its peers'.
//
//   sweep (run_sweep, every spread interval): the forward copies queued since the
//     last sweep become "gossip.spread" requests of at most 8 MiB each, built once for all peers
//   -> delivery (DeliveryQueues, spread_to_peer: each peer's requests in turn,
//     at most 64 in flight in all, the sweep never waiting for them):
//     direct TCP to the peer's gossip port, else reedHorn's "gossip.relay"
//   -> the peer's cross-gate listener (in the server, beside the main listener): the
//     first-byte signal, then the line loop and dispatch as on the main socket
//   -> intake (read_spread_params, take_in_spread): every entry checked
//     with thornKit, then ingested into the peer's store
//   -> forward copies: whatever the store accepts is queued again with one hop less, for
//     that gate's next sweep.
//
// Beside the batch's route: the heartbeat entry each gate keeps in its own store (and so
// in every peer's), renewed by the eviction loop that also drops expired entries.
//
// Everything here is in namespace quillfern::mesh. The sending side (who the peers are,
// delivery, the sweep) logs under "quillfern_server::spread", the intake under
// "quillfern_server::dispatch", the heartbeat under "quillfern_server::announce" and the
// eviction loop under "quillfern_server".
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/awaitable.hpp>

#include "quillfern/expected.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "quillfern/sibling_client.hpp"
#include "quillfern/transport.hpp"

namespace quillfern::mesh {

// The gossip address of one of reedHorn's peer records: the host of its "addr",
// "address" or "endpoint" (the first present; if that one is not a string, the first
// usable "endpoint" of "paths"), ':' and `gossip_port`. None for loopback hosts and
// records without a usable host.
std::optional<std::string> peer_gossip_addr(const json::Value& record, std::uint16_t gossip_port);

// One "mesh.peers" exchange with reedHorn at `socket_path`: the addresses its reply
// names (non-empty), or none. (Tests may shorten the limits.)
asio::awaitable<std::optional<std::vector<std::string>>> query_mesh_peers(std::string socket_path,
                                                                          sibling_client::Limits limits = {});

// At most this many peers are taken from one "mesh.peers" answer: a sibling naming tens
// of thousands would otherwise cost a delivery and a warning each on every sweep.
inline constexpr std::size_t kMaxReedhornPeers = 1024;

// The peers of one sweep: the items of QUILLFERN_PEERS as listed (duplicates kept), then
// the addresses reedHorn names that are not listed yet, in its order, up to
// kMaxReedhornPeers of them (a WARN says how many more were left out). Never fails.
asio::awaitable<std::vector<std::string>> discover_peers();

// ---- Delivery of one batch to one peer -------------------------------------------------------

// One request's bytes: one immutable buffer shared by the sweep's deliveries of it.
using SharedPayload = std::shared_ptr<const std::string>;

struct SpreadTask {
    std::string peer;  // the gossip address as the peer list holds it
    SharedPayload payload;
    std::shared_ptr<gossip::GossipStore> store;
};

// The direct road: a TCP connection to the peer, the signal bytes, the request and a
// newline, then at most one reply line. Gives the accepted count the reply reports
// (0 for any reply that can't be read), or the error text of a failed connect or write.
asio::awaitable<Expected<std::uint32_t, std::string>> spread_via_tcp(std::string peer, SharedPayload payload,
                                                                     sibling_client::Limits limits = {});

// The relay road: reedHorn's "gossip.relay" naming the peer as its target, with the
// request nested as its "payload". The payload is a sweep's request, compact JSON of
// our own writer, so it is written into the line as it stands (parsed and written again
// it would give the same bytes). Gives the accepted count, or the error text of the step
// that failed.
asio::awaitable<Expected<std::uint32_t, std::string>> spread_via_relay(std::string peer, SharedPayload payload,
                                                                       sibling_client::Limits limits = {});

// The body of one delivery task: the direct road, else the relay road; a delivery is
// recorded in the store's peer statistics under the peer's address. Never throws.
asio::awaitable<void> spread_to_peer(SpreadTask task);

// ---- The sweep -------------------------------------------------------------------------------

// The spread loop: a sweep at once, then one every `interval_secs` seconds on a fixed
// schedule (ticks missed while a sweep ran late, such as on a slow reedHorn, run back to
// back). The sweeps' deliveries run beside the loop, which never waits for them.
// Runs until the runtime ends; an interval of 0 counts as 1 second.
asio::awaitable<void> spread_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs);

// ---- Intake of a batch from a peer -----------------------------------------------------------

// A "gossip.spread" batch read from the request: the sending peer and the elements in
// batch order, none for an element that does not read as an entry.
struct SpreadBatch {
    std::string sender;
    std::vector<std::optional<gossip::GossipEntry>> elements;
};

// Reads the params of a "gossip.spread" request, `reader` at the params value (nesting
// level 1): the batch of "entries" when that is an array, else of the one "entry", sent
// by "from" when that is a string, else by "unknown". None when params holds neither
// member or is not an object. Only the entries are built; every other value is read,
// checked and dropped. A repeated member: the last one counts. After a reading fault the
// reader has failed and the result means nothing.
std::optional<SpreadBatch> read_spread_params(json::Reader& reader);

// The same batch read in place from a request in its plain form (as gates write it): the
// sender and the entries are views into the request's text, which must outlive the
// intake.
struct PlainSpreadBatch {
    std::string_view sender;
    std::vector<gossip::EntryView> entries;
};

// Reads the params of a "gossip.spread" request in their plain form, `reader` at the
// params value: an object with "entries" (an array of entries in their plain form) or
// "entry" (one), and "from" (a string without escapes), each at most once, no other
// member. Anything else is declined (the reader is left declined) for read_spread_params
// to read; what is taken here, read_spread_params reads as the same batch, every element
// an entry.
PlainSpreadBatch read_plain_spread_params(json::PlainReader& reader);

// A gate's delivery waits this long for the reply to a batch, then closes its connection.
inline constexpr std::chrono::milliseconds SENDER_REPLY_LIMIT{3000};

// The connection a batch came on, as the intake looks at it between entries. A thornKit
// that never answers makes each entry wait out its time limit, so a long batch can run
// far past the sender's wait; the sender then closes, and the rest of its batch would be
// checked for no one.
struct BatchSender {
    // What the sender has ended of its connection; never waits. Unset: the sender is
    // always there. Gone is a sender that reads no reply; SendingShut one that ended its
    // request that way and reads the reply.
    std::function<transport::PeerEnd()> end;
    // An end that can't be told apart (TCP) is taken for a half-close until the batch has
    // run this long, and for a sender that gave up waiting after that.
    std::chrono::milliseconds reply_limit = SENDER_REPLY_LIMIT;
};

// "gossip.spread": checks every entry of the batch with thornKit and ingests the allowed
// ones with the batch's sender as the sending peer; an element that is not an entry is
// rejected. Gives {"accepted":A,"rejected":R}. The connection of `sender` is looked at
// before each entry that is to be checked with thornKit, and again once the check's turn
// has come: none when the sender had gone and the rest of the batch was left (one WARN
// says how many entries), as no one waits for a reply. The checks are made under the
// process's bound (thornkit_checks.hpp). Never throws but std::bad_alloc.
asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender);
// The same for a batch read in place; what it gives and does is what take_in_spread gives
// and does for the same batch read by read_spread_params.
asio::awaitable<std::optional<json::Value>> take_in_spread(PlainSpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender);

// Asks thornKit ("metadata.analyze") about one entry on a fresh connection; true for
// allowed. Only an explicit verdict "deny" or "reject" refuses; whatever can't be asked
// or read counts as allowed. Never throws.
asio::awaitable<bool> validate_with_thornkit(const gossip::GossipEntry& entry);

// ---- Heartbeat and eviction ------------------------------------------------------------------

// The heartbeat's key is this prefix followed by the node id.
inline constexpr std::string_view kEndpointAlivePrefix = "endpoint.alive:";

// {"capabilities":["gossip"],"gate":..,"gossip_port":..,"pid":..,"protocol":"json-rpc","version":"0.1.0"}
json::Value endpoint_alive_payload(std::string_view node_id, std::uint16_t gossip_port, std::uint32_t pid);

// Injects the heartbeat entry "endpoint.alive:<node id>" into topic "varne" with the
// command-line gossip port, and logs the outcome: INFO when accepted, nothing for a
// duplicate (a renewal within the same second), WARN for anything else.
void inject_endpoint_alive(gossip::GossipStore& store, std::uint16_t gossip_port);

// One tick of the eviction loop: drops the expired entries (logging the total when any
// left), then renews the heartbeat entry.
void eviction_tick(gossip::GossipStore& store, std::uint16_t gossip_port);

// Runs eviction_tick on the fixed schedule of `interval_secs`, the first tick at once,
// for the life of the process.
asio::awaitable<void> eviction_loop(std::shared_ptr<gossip::GossipStore> store, std::uint64_t interval_secs,
                                    std::uint16_t gossip_port);

}  // namespace quillfern::mesh

// The sending side's two tasks go by "spread" across the system, as its log target does:
// spread::spread_loop and spread::spread_to_peer stay reachable under that name.
namespace quillfern::spread {
using mesh::spread_loop;
using mesh::spread_to_peer;
}  // namespace quillfern::spread
