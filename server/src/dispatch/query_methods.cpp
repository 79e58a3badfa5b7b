// "gossip.query" and "gossip.subscribe": the live entries of one topic, optionally of one
// key prefix, written entry by entry and handed on in chunks. Subscribing answers the same
// snapshot with a note on how to follow the topic.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "methods.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch::detail {

namespace {

constexpr std::string_view kSubscribeNote =
    "Poll this method for updates. Broadcast channel is live for tarpc streaming subscribers.";

// What both methods take from their params: a member that is absent or not a string is
// none. A repeated member: the last one counts.
struct QueryParams {
    std::optional<std::string> topic;
    std::optional<std::string> key_prefix;
};

QueryParams read_query_params(json::Reader& reader) {
    QueryParams params;
    rpc_types::read_params_members(reader, [&](std::string_view key) {
        std::optional<std::string>* text = key == "topic"        ? &params.topic
                                           : key == "key_prefix" ? &params.key_prefix
                                                                 : nullptr;
        if (text != nullptr) *text = rpc_types::read_string_member(reader, 2);
        return text != nullptr;
    });
    return params;
}

asio::awaitable<bool> write_entries_in_chunks(ReplyWriter& reply, const std::vector<gossip::GossipEntry>& entries) {
    reply.out() += '[';
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) reply.out() += ',';
        gossip::append_entry_json(reply.out(), entries[i]);
        if (!co_await reply.chunk_done()) co_return false;
    }
    reply.out() += ']';
    co_return true;
}

asio::awaitable<bool> answer_query(MethodCall& call, bool subscribe) {
    const QueryParams params = co_await call.read_params_aside(read_query_params);
    std::string& out = call.out();
    const std::optional<gossip::Topic> topic = params.topic ? gossip::parse_topic(*params.topic) : std::nullopt;
    if (!topic) {
        out += invalid_topic_result();
        co_return true;
    }
    const gossip::GossipStore& store = call.store();
    const std::vector<gossip::GossipEntry> entries = store.query(*topic, params.key_prefix);
    out += "{\"count\":";
    json::write(out, json::Value(entries.size()));
    out += ",\"entries\":";
    if (!co_await write_entries_in_chunks(call.reply(), entries)) co_return false;
    if (subscribe) {
        out += ",\"mode\":\"snapshot\",\"note\":";
        json::write_string(out, kSubscribeNote);
        out += ",\"subscriber_count\":";
        json::write(out, json::Value(store.subscriber_count()));
    }
    out += ",\"topic\":\"";
    out += gossip::topic_name(*topic);
    out += "\"}";
    co_return true;
}

}  // namespace

asio::awaitable<bool> gossip_query(MethodCall& call) { co_return co_await answer_query(call, false); }

asio::awaitable<bool> gossip_subscribe(MethodCall& call) { co_return co_await answer_query(call, true); }

}  // namespace quillfern::dispatch::detail
