// Request lines through dispatch to their replies, on one store per input: every line
// of the input (split at newlines, as a connection would send them) is answered by
// dispatch::handle_request, and after each the reply and the store are checked: the
// envelope, the ingest count moving by exactly what the reply reports as accepted, and
// the query, status and peers results agreeing with the store.
#include <asio/io_context.hpp>

#include "fuzz_target.hpp"
#include "quillfern/dispatch.hpp"
#include "run_task.hpp"

namespace quillfern::fuzz {

namespace {

// How many elements a "gossip.spread" request carries (as dispatch reads its params).
std::optional<std::size_t> spread_elements(const json::Value& params) {
    if (!params.is_object()) return std::nullopt;
    if (auto it = params.find("entries"); it != params.end() && it->is_array()) return it->size();
    if (params.contains("entry")) return 1;
    return std::nullopt;
}

void check_query_result(const json::Value& params, const json::Value& result, const gossip::GossipStore& store,
                        std::string_view reply) {
    if (result.contains("error")) return;
    const auto topic = gossip::parse_topic(params.at("topic").get_ref<const std::string&>());
    require(topic.has_value(), "query answered for a topic that does not exist", reply);
    std::optional<std::string> prefix;
    if (auto it = params.find("key_prefix"); it != params.end() && it->is_string()) prefix = it->get<std::string>();
    const json::Value& entries = result.at("entries");
    require(result.at("count") == entries.size(), "query count differs from its entries", reply);
    require(entries.size() == store.query(*topic, prefix).size(), "query reply differs from the store", reply);
    for (const json::Value& entry : entries) {
        require(entry.at("topic") == gossip::topic_name(*topic), "query gives an entry of another topic", reply);
        const auto& key = entry.at("key").get_ref<const std::string&>();
        require(!prefix || key.starts_with(*prefix), "query gives a key without the prefix", reply);
        auto decoded = gossip::GossipEntry::from_json(entry);
        require(decoded.has_value(), "query gives an entry that does not read back", reply);
        require(decoded->expires_at_epoch > fuzz_clock(), "query gives an expired entry", reply);
    }
}

std::uint64_t reported_accepted(std::string_view method, const json::Value& params, const json::Value& result,
                                std::string_view reply) {
    if (method == "gossip.inject") {
        return result.value("result", "") == "Accepted" ? 1 : 0;
    }
    if (method == "gossip.spread") {
        if (result.contains("error")) return 0;
        const auto elements = spread_elements(params);
        require(elements.has_value(), "spread answered without a batch", reply);
        const auto accepted = result.at("accepted").get<std::uint64_t>();
        require(accepted + result.at("rejected").get<std::uint64_t>() == *elements,
                "spread counts do not add up to its batch", reply);
        return accepted;
    }
    return 0;
}

void check_line(std::string_view line, gossip::GossipStore& store, const std::string& reply,
                const gossip::StoreStats& before) {
    const json::Value envelope = check_reply(line, reply);
    check_store(store);
    const gossip::StoreStats after = store.stats();

    std::uint64_t accepted = 0;
    if (envelope.contains("result")) {
        const json::Value request = *json::parse(line);
        const auto& method = request.at("method").get_ref<const std::string&>();
        const json::Value params = request.value("params", json::Value::object());
        const json::Value& result = envelope.at("result");
        accepted = reported_accepted(method, params, result, reply);
        if (method == "gossip.query" || method == "gossip.subscribe") check_query_result(params, result, store, reply);
        if (method == "gossip.status") {
            require(strictly_equal(result, after.to_json()), "status differs from the store's statistics", reply);
        }
        if (method == "gossip.peers") {
            require(result.at("peer_count") == result.at("peers").size(), "peer count differs from the peers", reply);
        }
    }
    require(after.total_ingested == before.total_ingested + accepted,
            "ingest count moved by other than the accepted entries", reply);
}

}  // namespace

void dispatch_request(Bytes input) {
    prepare_process();
    auto store = make_store();
    std::string_view rest = as_text(input);
    while (!rest.empty()) {
        const std::size_t end = rest.find('\n');
        const std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);

        const gossip::StoreStats before = store->stats();
        asio::io_context io;
        const std::string reply = ::quillfern::testing::run_task(io, dispatch::handle_request(line, store));
        check_line(line, *store, reply, before);
        set_fuzz_clock(fuzz_clock() + 1);
    }
}

}  // namespace quillfern::fuzz
