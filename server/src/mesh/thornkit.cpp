// The thornKit check of one received entry: one "metadata.analyze" request on a fresh
// Unix-domain connection, every step bounded in time, anything unreadable counted as
// allowed.
#include <array>
#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"
#include "quillfern/rpc_types.hpp"
#include "quillfern/sibling_client.hpp"
#include "quillfern/text.hpp"

namespace quillfern::mesh {

namespace {

using sibling_client::kJsonrpcSignal;

// Each step of the exchange gets 500 ms: the connect, the write, the read (which runs
// until thornKit closes). A reply is read up to 1 MiB; what was read by then is the reply.
constexpr sibling_client::Limits kThornkitLimits{
    .connect = std::chrono::milliseconds{500},
    .write = std::chrono::milliseconds{500},
    .reply = std::chrono::milliseconds{500},
    .reply_cap = std::size_t{1} << 20,
};

// "\xEC\x01" + the compact request + "\n".
std::string request_frame(const gossip::GossipEntry& entry) {
    json::Value params = json::Value::object();
    params["topic"] = std::string(gossip::topic_name(entry.topic));
    params["key"] = gossip::text_of(entry.key);
    params["origin_gate"] = gossip::text_of(entry.origin_gate);
    params["ttl"] = static_cast<std::uint64_t>(entry.ttl);
    params["payload"] = gossip::payload_of(entry.payload);
    params["created_at_epoch"] = entry.created_at_epoch;
    params["expires_at_epoch"] = entry.expires_at_epoch;
    json::Value request = rpc_types::jsonrpc_request(std::uint64_t{1}, "metadata.analyze", std::move(params));

    std::string frame(kJsonrpcSignal);
    json::write(frame, request);
    frame += '\n';
    return frame;
}

// The verdict rule: only "deny" or "reject" (exact, case-sensitive) refuses.
bool verdict_allows(std::string_view reply) {
    if (reply.size() >= 2 && reply.substr(0, 2) == kJsonrpcSignal) reply.remove_prefix(2);
    if (!text::is_valid_utf8(reply)) return true;
    auto parsed = json::parse(text::trim(reply));
    if (!parsed) return true;
    const json::Value& value = *parsed;
    if (!value.is_object()) return true;
    auto result = value.find("result");
    if (result == value.end() || !result->is_object()) return true;
    auto verdict = result->find("verdict");
    if (verdict == result->end() || !verdict->is_string()) return true;
    const auto& verdict_text = verdict->get_ref<const std::string&>();
    return verdict_text != "deny" && verdict_text != "reject";
}

asio::awaitable<bool> exchange(const gossip::GossipEntry& entry) {
    std::string path = paths::thornkit_socket_path();
    if (!paths::exists(path)) co_return true;

    const std::string frame = request_frame(entry);

    // thornKit reads to the end of the request, so the sending side is shut after it.
    const std::array<sibling_client::Write, 1> writes{frame};
    // Started as a statement of its own: no temporary of the call lives across the co_await.
    auto exchanging = sibling_client::exchange_to_end(sibling_client::UnixPath{path}, writes, kThornkitLimits);
    auto reply = co_await std::move(exchanging);
    if (!reply) {
        if (reply.error().step == sibling_client::ExchangeFailure::Step::Open) {
            QF_LOG(log::Level::Debug, log::targets::kDispatch, "fern-kit: thornKit unreachable — default allow");
        }
        co_return true;
    }
    co_return verdict_allows(*reply);
}

}  // namespace

asio::awaitable<bool> validate_with_thornkit(const gossip::GossipEntry& entry) {
    try {
        co_return co_await exchange(entry);
    } catch (...) {
        // Whatever can't be asked counts as allowed.
    }
    co_return true;
}

}  // namespace quillfern::mesh
