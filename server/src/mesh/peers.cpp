// Peer discovery: QUILLFERN_PEERS, then reedHorn's "mesh.peers"; and the gossip address
// of one of reedHorn's peer records.
#include <algorithm>
#include <array>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/sibling_client.hpp"
#include "quillfern/text.hpp"

namespace quillfern::mesh {

namespace {

constexpr std::string_view kMeshPeersRequest = R"({"id":1,"jsonrpc":"2.0","method":"mesh.peers","params":{}})"
                                               "\n";
constexpr std::array<std::string_view, 4> kLoopbackHosts{"::1", "[::1]", "127.0.0.1", "localhost"};

// The host of "host", "host:port", "[v6]" or "[v6]:port": through the last ']', else
// before the last ':', else the whole text.
std::string_view host_of(std::string_view text) {
    if (auto bracket = text.rfind(']'); bracket != std::string_view::npos) return text.substr(0, bracket + 1);
    if (auto colon = text.rfind(':'); colon != std::string_view::npos) return text.substr(0, colon);
    return text;
}

bool refused(std::string_view host) {
    return host.empty() || std::find(kLoopbackHosts.begin(), kLoopbackHosts.end(), host) != kLoopbackHosts.end();
}

std::string gossip_addr(std::string_view host, std::uint16_t port) {
    std::string addr(host);
    addr += ':';
    addr += std::to_string(port);
    return addr;
}

// The first element of "paths" whose "endpoint" string names a host that is not refused.
std::optional<std::string> addr_from_paths(const json::Value& record, std::uint16_t port) {
    auto paths = record.find("paths");
    if (paths == record.end() || !paths->is_array()) return std::nullopt;
    for (const json::Value& path : *paths) {
        if (!path.is_object()) continue;
        auto endpoint = path.find("endpoint");
        if (endpoint == path.end() || !endpoint->is_string()) continue;
        std::string_view host = host_of(endpoint->get_ref<const std::string&>());
        if (!refused(host)) return gossip_addr(host, port);
    }
    return std::nullopt;
}

// Every address the records of reedHorn's "result" give: those of a non-empty "peers"
// array, or failing that, those of every member value in key order.
std::vector<std::string> addrs_of_result(const json::Value& result, std::uint16_t port) {
    std::vector<std::string> addrs;
    if (!result.is_object()) return addrs;
    auto collect = [&](const json::Value& record) {
        if (auto addr = peer_gossip_addr(record, port)) addrs.push_back(std::move(*addr));
    };
    if (auto peers = result.find("peers"); peers != result.end() && peers->is_array()) {
        for (const json::Value& record : *peers) collect(record);
    }
    if (addrs.empty()) {
        for (const auto& member : result.items()) collect(member.value());
    }
    return addrs;
}

}  // namespace

std::optional<std::string> peer_gossip_addr(const json::Value& record, std::uint16_t gossip_port) {
    if (!record.is_object() || record.empty()) return std::nullopt;
    for (std::string_view name : {"addr", "address", "endpoint"}) {
        auto member = record.find(name);
        if (member == record.end()) continue;
        if (!member->is_string()) break;  // the later names are not looked at
        std::string_view host = host_of(member->get_ref<const std::string&>());
        if (refused(host)) return std::nullopt;  // "paths" is not tried either
        return gossip_addr(host, gossip_port);
    }
    return addr_from_paths(record, gossip_port);
}

asio::awaitable<std::optional<std::vector<std::string>>> query_mesh_peers(std::string socket_path,
                                                                          sibling_client::Limits limits) {
    using sibling_client::ExchangeFailure;
    const std::array<sibling_client::Write, 2> writes{sibling_client::kJsonrpcSignal, kMeshPeersRequest};
    auto exchanging = sibling_client::exchange_line(sibling_client::UnixPath{std::move(socket_path)}, writes, limits);
    auto line = co_await std::move(exchanging);
    if (!line) {
        const ExchangeFailure& failed = line.error();
        if (failed.step == ExchangeFailure::Step::Open) {
            if (failed.failure.kind == sibling_client::FailureKind::TimedOut) {
                QF_LOG(log::Level::Debug, log::targets::kSpread, "Timeout connecting to reedHorn");
            } else {
                QF_LOG(log::Level::Debug, log::targets::kSpread, "Cannot connect to reedHorn for peer discovery",
                       log::text("error", failed.failure.text));
            }
        }
        co_return std::nullopt;  // unreachable, or a reply late, unreadable, empty or past the cap
    }

    auto reply = json::parse(*line);
    if (!reply || !reply->is_object()) co_return std::nullopt;
    auto result = reply->find("result");
    if (result == reply->end()) co_return std::nullopt;

    std::vector<std::string> addrs = addrs_of_result(*result, paths::gossip_port_from_env());
    if (addrs.empty()) co_return std::nullopt;
    QF_LOG(log::Level::Debug, log::targets::kSpread, "reedHorn mesh.peers resolved addresses",
           log::list("peers", addrs));
    co_return std::optional<std::vector<std::string>>{std::move(addrs)};
}

asio::awaitable<std::vector<std::string>> discover_peers() {
    std::vector<std::string> peers;
    if (auto listed = text::env_utf8("QUILLFERN_PEERS")) {
        std::string_view rest = *listed;
        for (;;) {
            auto comma = rest.find(',');
            std::string_view item = text::trim(rest.substr(0, comma));
            if (!item.empty()) peers.emplace_back(item);
            if (comma == std::string_view::npos) break;
            rest.remove_prefix(comma + 1);
        }
        QF_LOG(log::Level::Debug, log::targets::kSpread, "Discovered peers from QUILLFERN_PEERS",
               log::number("count", peers.size()), log::quoted("source", "env"));
    }

    auto socket = paths::discover_reedhorn_socket();
    if (!socket) co_return peers;
    auto querying = query_mesh_peers(std::move(*socket));
    auto learned = co_await std::move(querying);
    if (!learned) co_return peers;
    // What the list holds already, listed or appended: each address is looked up once.
    std::unordered_set<std::string> known(peers.begin(), peers.end());
    std::size_t appended = 0;
    std::size_t left_out = 0;
    for (std::string& addr : *learned) {
        if (known.contains(addr)) continue;
        if (appended == kMaxReedhornPeers) {
            ++left_out;
            known.insert(std::move(addr));  // counted once however often it is named
            continue;
        }
        known.insert(addr);
        peers.push_back(std::move(addr));
        ++appended;
    }
    if (appended > 0) {
        QF_LOG(log::Level::Debug, log::targets::kSpread, "Discovered peers from mesh.peers",
               log::number("count", appended), log::quoted("source", "reedhorn"));
    }
    if (left_out > 0) {
        QF_LOG(log::Level::Warn, log::targets::kSpread,
               "reedHorn named more peers than a sweep takes; the rest are left out", log::number("taken", appended),
               log::number("left_out", left_out));
    }
    co_return peers;
}

}  // namespace quillfern::mesh
