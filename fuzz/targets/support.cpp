#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <mutex>

#include "fuzz_target.hpp"
#include "quillfern/rpc_types.hpp"
#include "quillfern/text.hpp"

namespace quillfern::fuzz {

namespace {

std::atomic<std::uint64_t> g_clock{kFuzzEpoch};

std::string excerpt(std::string_view text) {
    constexpr std::size_t kMax = 300;
    std::string shown = text::debug_quoted(text.substr(0, kMax));
    if (text.size() > kMax) shown += "...";
    return shown;
}

bool is_known_method(const json::Value& method) {
    if (!method.is_string()) return false;
    const auto& name = method.get_ref<const std::string&>();
    return name == "capability.list" || std::find(rpc_types::kMethodNames.begin(), rpc_types::kMethodNames.end(),
                                                  name) != rpc_types::kMethodNames.end();
}

}  // namespace

void require(bool holds, std::string_view what, std::string_view detail) {
    if (holds) return;
    std::string message(what);
    if (!detail.empty()) {
        message += ": ";
        message += excerpt(detail);
    }
    throw InvariantViolation(message);
}

void prepare_process() {
    static std::once_flag once;
    std::call_once(once, [] {
        ::setenv("NEGOTIATE_TIMEOUT_MS", "600000", 1);
        ::setenv("QUILLFERN_THORNKIT_SOCK", "/nonexistent-quillfern-fuzz/thornkit.sock", 1);
        std::signal(SIGPIPE, SIG_IGN);
    });
}

std::uint64_t fuzz_clock() { return g_clock.load(std::memory_order_relaxed); }
void set_fuzz_clock(std::uint64_t seconds) { g_clock.store(seconds, std::memory_order_relaxed); }

// The store's seconds are the fuzz clock's; nonces are stamped by the wall clock.
class FuzzClock final : public gossip::StoreClock {
public:
    std::uint64_t now() const override { return fuzz_clock(); }
};

std::shared_ptr<gossip::GossipStore> make_store() {
    set_fuzz_clock(kFuzzEpoch);
    auto store = std::make_shared<gossip::GossipStore>("fuzz-gate", std::make_shared<const FuzzClock>());
    require(store->start().has_value(), "a new store does not start");
    return store;
}

bool strictly_equal(const json::Value& a, const json::Value& b) {
    if (a.type() != b.type()) return false;
    switch (a.type()) {
        case json::Value::value_t::array: {
            if (a.size() != b.size()) return false;
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (!strictly_equal(a[i], b[i])) return false;
            }
            return true;
        }
        case json::Value::value_t::object: {
            if (a.size() != b.size()) return false;
            for (auto ia = a.begin(), ib = b.begin(); ia != a.end(); ++ia, ++ib) {
                if (ia.key() != ib.key() || !strictly_equal(ia.value(), ib.value())) return false;
            }
            return true;
        }
        case json::Value::value_t::number_float: {
            const double x = a.get<double>();
            const double y = b.get<double>();
            return x == y && std::signbit(x) == std::signbit(y);
        }
        default: return a == b;
    }
}

json::Value check_reply(std::string_view request, std::string_view reply) {
    require(reply.find('\n') == std::string_view::npos && reply.find('\r') == std::string_view::npos,
            "reply is not one line", reply);
    auto parsed = json::parse(reply);
    require(parsed.has_value(), "reply is not valid JSON", reply);
    require(json::to_string(*parsed) == reply, "reply is not in compact sorted form", reply);
    const json::Value& envelope = *parsed;
    require(envelope.is_object(), "reply is not an object", reply);
    require(envelope.value("jsonrpc", json::Value()) == "2.0", "reply lacks \"jsonrpc\":\"2.0\"", reply);
    require(envelope.contains("id"), "reply lacks an id", reply);
    require(envelope.size() == 3 && (envelope.contains("result") != envelope.contains("error")),
            "reply is neither a success nor an error envelope", reply);

    auto request_value = json::parse(request);
    if (!request_value) {
        require(reply == R"({"error":{"code":-32700,"message":"Parse error"},"id":null,"jsonrpc":"2.0"})",
                "unreadable request not answered with the parse error", reply);
        return envelope;
    }
    require(!envelope.contains("error") || envelope["error"]["code"] != rpc_types::kParseError,
            "readable request answered with a parse error", request);

    json::Value id;
    json::Value method;
    if (request_value->is_object()) {
        id = request_value->value("id", json::Value());
        method = request_value->value("method", json::Value());
    }
    require(strictly_equal(envelope["id"], id), "reply id differs from the request id", reply);
    if (is_known_method(method)) {
        require(envelope.contains("result"), "known method answered with an error", reply);
    } else {
        require(envelope.contains("error") &&
                    strictly_equal(envelope["error"],
                                   json::Value{{"code", rpc_types::kMethodNotFound}, {"message", "Method not found"}}),
                "unknown method not answered with \"Method not found\"", reply);
    }
    return envelope;
}

void check_store(const gossip::GossipStore& store) {
    const gossip::StoreStats stats = store.stats();
    for (std::size_t count : {stats.varne_entries, stats.data_entries, stats.compute_entries}) {
        require(count <= gossip::kTopicCapacity, "a topic holds more entries than its capacity");
    }
    const std::uint64_t held = stats.varne_entries + stats.data_entries + stats.compute_entries;
    require(stats.total_evicted <= stats.total_ingested, "more entries evicted than ingested");
    require(held <= stats.total_ingested - stats.total_evicted, "more entries held than ingested and kept");
    require(stats.nonce_history_size == std::min<std::uint64_t>(stats.total_ingested, gossip::kNonceHistoryCapacity),
            "nonce history size does not follow the ingest count");
    require(stats.peer_count == store.peer_stats().size(), "peer count differs from the peer map");
    for (gossip::Topic topic : gossip::kTopics) {
        const std::size_t live = store.query(topic, std::nullopt).size();
        const std::size_t stored = topic == gossip::Topic::Varne  ? stats.varne_entries
                                   : topic == gossip::Topic::Data ? stats.data_entries
                                                                  : stats.compute_entries;
        require(live <= stored, "a query finds more entries than the topic holds");
    }
}

}  // namespace quillfern::fuzz
