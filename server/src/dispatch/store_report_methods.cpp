// "gossip.status" and "gossip.peers": what the store reports of itself and of the peers
// it has exchanged entries with. Neither takes params.
#include <algorithm>
#include <string>
#include <vector>

#include "methods.hpp"

namespace quillfern::dispatch::detail {

void gossip_status(MethodCall& call) {
    call.drop_params();
    json::write(call.out(), call.store().stats().to_json());
}

// The members of "peers" in byte order of their ids, as the JSON object writes them.
asio::awaitable<bool> gossip_peers(MethodCall& call) {
    co_await call.drop_params_aside();
    const gossip::GossipStore& store = call.store();
    std::string& out = call.out();
    const gossip::PeerMap peers = store.peer_stats();
    std::vector<const gossip::PeerMap::value_type*> sorted;
    sorted.reserve(peers.size());
    for (const auto& peer : peers) sorted.push_back(&peer);
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

    out += "{\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"peer_count\":";
    json::write(out, json::Value(peers.size()));
    out += ",\"peers\":{";
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i != 0) out += ',';
        json::write_string(out, sorted[i]->first);
        out += ':';
        json::write(out, sorted[i]->second.to_json());
        if (!co_await call.reply().chunk_done()) co_return false;
    }
    out += "}}";
    co_return true;
}

}  // namespace quillfern::dispatch::detail
