// handle_request: parse one line, pick the method by its exact name, answer from the store.
//
// The reply is written straight into the caller's text buffer: the success envelope's keys
// come in a fixed order ("id", "jsonrpc", "result"), so the result can follow the prefix
// directly.
// Results that never change are rendered once; gossip entries are written field by field
// without first being turned into JSON values.
#include <algorithm>
#include <array>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <fmt/format.h>

#include "quillfern/dispatch.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch {

namespace {

using gossip::GossipEntry;
using gossip::GossipStore;

enum class Method : std::uint8_t {
    HealthLiveness,
    HealthReadiness,
    HealthCheck,
    CapabilitiesList,
    BtspNegotiate,
    WendleAnnounce,
    GossipSpread,
    GossipInject,
    GossipQuery,
    GossipStatus,
    GossipPeers,
    GossipSubscribe,
};

struct MethodName {
    std::string_view name;
    Method method;
};

constexpr std::array<MethodName, 13> METHODS{{
    {"health.liveness", Method::HealthLiveness},
    {"health.readiness", Method::HealthReadiness},
    {"health.check", Method::HealthCheck},
    {"capabilities.list", Method::CapabilitiesList},
    {"capability.list", Method::CapabilitiesList},
    {"btsp.negotiate", Method::BtspNegotiate},
    {"wendle.announce", Method::WendleAnnounce},
    {"gossip.spread", Method::GossipSpread},
    {"gossip.inject", Method::GossipInject},
    {"gossip.query", Method::GossipQuery},
    {"gossip.status", Method::GossipStatus},
    {"gossip.peers", Method::GossipPeers},
    {"gossip.subscribe", Method::GossipSubscribe},
}};

std::optional<Method> find_method(std::string_view name) noexcept {
    for (const MethodName& entry : METHODS) {
        if (entry.name == name) return entry.method;
    }
    return std::nullopt;
}

// ---- Results rendered once ------------------------------------------------------------

const std::string& parse_error_reply() {
    static const std::string reply =
        rpc_types::jsonrpc_error_response(nullptr, rpc_types::PARSE_ERROR, rpc_types::PARSE_ERROR_MESSAGE);
    return reply;
}

std::string render(json::Value value) { return json::to_string(value); }

const std::string& liveness_result() {
    static const std::string text = render({{"alive", true}});
    return text;
}

const std::string& readiness_result(bool ready) {
    static const std::string ready_text =
        render({{"capabilities", rpc_types::string_array(rpc_types::METHOD_NAMES)}, {"ready", true}});
    static const std::string not_ready_text =
        render({{"capabilities", rpc_types::string_array(rpc_types::METHOD_NAMES)}, {"ready", false}});
    return ready ? ready_text : not_ready_text;
}

const std::string& capabilities_result() {
    static const std::string text = render({
        {"gossip_domains", rpc_types::string_array(rpc_types::GOSSIP_DOMAINS)},
        {"methods", rpc_types::string_array(rpc_types::METHOD_NAMES)},
        {"protocol", std::string(rpc_types::PROTOCOL_NAME)},
        {"transport", rpc_types::string_array(rpc_types::TRANSPORTS)},
        {"version", std::string(rpc_types::SERVICE_VERSION)},
        {"wendle", std::string(rpc_types::SERVICE_DISPLAY_NAME)},
    });
    return text;
}

const std::string& announce_result() {
    static const std::string text = render({
        {"capabilities", rpc_types::string_array(rpc_types::CAPABILITIES)},
        {"methods", rpc_types::string_array(rpc_types::METHOD_NAMES)},
        {"signal_tiers", rpc_types::string_array(rpc_types::SIGNAL_TIERS)},
        {"version", std::string(rpc_types::SERVICE_VERSION)},
        {"wendle", std::string(rpc_types::SERVICE_DISPLAY_NAME)},
    });
    return text;
}

const std::string& negotiate_result() {
    static const std::string text = render({{"cipher", "null"}, {"server_nonce", nullptr}});
    return text;
}

std::string error_result(std::string_view message) {
    std::string text = "{\"error\":";
    json::write_string(text, message);
    text += '}';
    return text;
}

const std::string& invalid_topic_result() {
    static const std::string text = error_result(rpc_types::INVALID_TOPIC_ERROR);
    return text;
}

const std::string& missing_entry_result() {
    static const std::string text = error_result(rpc_types::MISSING_ENTRY_ERROR);
    return text;
}

const std::string& missing_key_result() {
    static const std::string text = error_result(rpc_types::MISSING_KEY_ERROR);
    return text;
}

constexpr std::string_view SUBSCRIBE_NOTE =
    "Poll this method for updates. Broadcast channel is live for tarpc streaming subscribers.";

// ---- Writers ----------------------------------------------------------------------------

void append_number(std::string& out, std::uint64_t n) { out += fmt::format_int(n).c_str(); }

void append_bool(std::string& out, bool b) { out += b ? "true" : "false"; }

// A reply being written through a sink: hands the text on whenever it holds a chunk.
class ChunkWriter {
public:
    explicit ChunkWriter(ReplySink& sink) noexcept : sink_(sink) {}

    std::string& out() noexcept { return sink_.out; }
    // True when part of this reply has already left `out`.
    bool drained() const noexcept { return drained_; }

    // False when the sink could not take the chunk: the reply is given up.
    asio::awaitable<bool> chunk_done() {
        if (!sink_.drain || sink_.out.size() < REPLY_CHUNK_BYTES) co_return true;
        drained_ = true;
        const bool taken = co_await sink_.drain();
        co_return taken;
    }

private:
    ReplySink& sink_;
    bool drained_ = false;
};

asio::awaitable<bool> append_entries(ChunkWriter& writer, const std::vector<GossipEntry>& entries) {
    writer.out() += '[';
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (i != 0) writer.out() += ',';
        gossip::append_entry_json(writer.out(), entries[i]);
        if (!co_await writer.chunk_done()) co_return false;
    }
    writer.out() += ']';
    co_return true;
}

// ---- The request ------------------------------------------------------------------------

// What gossip.inject takes from its params: a topic or key that is absent or not a string
// is none; an absent payload is none.
struct InjectParams {
    std::optional<std::string> topic;
    std::optional<std::string> key;
    gossip::SharedPayload payload;  // null when absent
};

constexpr std::string_view INJECT_METHOD = "gossip.inject";
constexpr std::string_view SPREAD_METHOD = "gossip.spread";

struct Request {
    Request() = default;
    Request(Request&&) = default;
    Request& operator=(Request&&) = default;
    // Whatever was read is released first: a request given up for lack of memory must not
    // need memory to be taken apart.
    ~Request() {
        json::release(id);
        json::release(params);
    }

    json::Value id;  // null when absent
    std::string method;
    json::Value params = json::Value::object();
    // Set when the last params was an object read for gossip.inject (the method came
    // first): `params` is then left unread, and `params_text` holds its text in case a
    // later member names another method.
    std::optional<InjectParams> inject_params;
    // The same for gossip.spread: `spread_read` is set and the batch (none without one) kept.
    bool spread_read = false;
    std::optional<mesh::SpreadBatch> spread_batch;
    std::string_view params_text;

    bool has_typed_params() const noexcept { return inject_params || spread_read; }
    // Whether the typed params were read for the method the request finally names.
    bool typed_params_fit() const noexcept {
        return (inject_params && method == INJECT_METHOD) || (spread_read && method == SPREAD_METHOD);
    }
    void forget_typed_params() noexcept {
        inject_params.reset();
        spread_read = false;
        spread_batch.reset();
    }
};

// Reads one member's value at nesting level `depth` where only a text is of use: a
// string gives its text; any other value is read (and checked) like every value and
// gives none. The caller tests the reader for failure.
std::optional<std::string> read_string_member(json::Reader& reader, std::uint32_t depth) {
    if (reader.peek_token() == '"') {
        reader.advance();
        return reader.read_string_body();
    }
    static_cast<void>(reader.read_value(depth));
    return std::nullopt;
}

// Reads the params object of gossip.inject (its '{' consumed; params is level 1) into what
// the method takes, building a JSON value only for the payload. A repeated member: the
// last one counts. Every other member is read and checked like any value and dropped.
bool read_inject_params(json::Reader& reader, InjectParams& params) {
    using namespace std::string_view_literals;
    std::string key;
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the key's opening quote
        key = reader.read_string_body();
        if (reader.failed() || !reader.read_colon()) return false;
        if (key == "topic"sv) {
            params.topic = read_string_member(reader, 2);
        } else if (key == "key"sv) {
            params.key = read_string_member(reader, 2);
        } else if (key == "payload"sv) {
            // Kept as the canonical text the store holds, read straight from the line.
            std::string payload;
            if (!reader.read_canonical(payload, 2)) return false;
            params.payload = gossip::share_payload_text(std::move(payload));
        } else {
            static_cast<void>(reader.read_value(2));
        }
        if (reader.failed()) return false;
    }
    return !reader.failed() && reader.close_object();
}

// Reads one params member of `line`. For gossip.inject and gossip.spread (named before
// params, as clients and peers write it) an object goes straight into what the method
// takes; anything else becomes a JSON value.
bool read_params_member(json::Reader& reader, std::string_view line, Request& request) {
    request.forget_typed_params();
    const bool inject = request.method == INJECT_METHOD;
    if ((!inject && request.method != SPREAD_METHOD) || reader.peek_token() != '{') {
        request.params = reader.read_value(1);
        return !reader.failed();
    }
    const std::size_t start = reader.offset();
    if (inject) {
        if (!reader.check_depth(1)) return false;
        reader.advance();
        InjectParams params;
        if (!read_inject_params(reader, params)) return false;
        request.inject_params = std::move(params);
    } else {
        request.spread_batch = mesh::read_spread_params(reader);
        if (reader.failed()) return false;
        request.spread_read = true;
    }
    request.params_text = line.substr(start, reader.offset() - start);
    return true;
}

// Reads the request line: id, method and params of the envelope, the rest checked and
// dropped. Reading the envelope's members straight from the text spares building it as
// a JSON object; only id and params become values. A repeated member: the last one
// counts. A line that is JSON but not an object is a request without members. None when
// the line is not JSON.
std::optional<Request> read_request(std::string_view line) {
    json::Reader reader(line);
    Request request;
    if (reader.peek_token() != '{') {
        static_cast<void>(reader.read_value(0));
        if (reader.failed() || !reader.finish()) return std::nullopt;
        return request;
    }
    reader.advance();
    using namespace std::string_view_literals;
    std::string key;
    for (bool first = true; reader.has_next_key(first); first = false) {
        reader.advance();  // the key's opening quote
        key = reader.read_string_body();
        if (reader.failed() || !reader.read_colon()) return std::nullopt;
        if (key == "method"sv) {
            // A method that is not a string names no method.
            request.method = read_string_member(reader, 1).value_or(std::string());
        } else if (key == "id"sv) {
            request.id = reader.read_value(1);
        } else if (key == "params"sv) {
            if (!read_params_member(reader, line, request)) return std::nullopt;
        } else {
            static_cast<void>(read_string_member(reader, 1));
        }
        if (reader.failed()) return std::nullopt;
    }
    if (reader.failed() || !reader.close_object() || !reader.finish()) return std::nullopt;
    if (request.has_typed_params() && !request.typed_params_fit()) {
        // A later member named another method: that one takes params as a JSON value.
        // The text was read without fault once, so it reads again.
        json::Reader params_reader(request.params_text);
        request.params = params_reader.read_value(1);
        if (params_reader.failed()) return std::nullopt;
        request.forget_typed_params();
    }
    return request;
}

// A member of params, when params is an object holding it.
const json::Value* param(const json::Value& params, std::string_view name) {
    if (!params.is_object()) return nullptr;
    auto it = params.find(name);
    return it == params.end() ? nullptr : &*it;
}

std::optional<gossip::Topic> topic_param(const json::Value& params) {
    const json::Value* topic = param(params, "topic");
    if (topic == nullptr || !topic->is_string()) return std::nullopt;
    return gossip::parse_topic(topic->get_ref<const std::string&>());
}

std::optional<std::string_view> key_prefix_param(const json::Value& params) {
    const json::Value* prefix = param(params, "key_prefix");
    if (prefix == nullptr || !prefix->is_string()) return std::nullopt;
    return std::string_view(prefix->get_ref<const std::string&>());
}

// ---- Methods ------------------------------------------------------------------------------
// Each appends its result to `out`, which already holds the envelope's prefix.

void health_check(std::string& out, const GossipStore& store) {
    const bool running = store.running();
    out += "{\"liveness\":true,\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"readiness\":";
    append_bool(out, running);
    out += ",\"status\":";
    json::write_string(out, rpc_types::health_text(rpc_types::HealthStatus::from_lifecycle_state(store.state())));
    out += '}';
}

asio::awaitable<bool> gossip_query(ChunkWriter& writer, const GossipStore& store, const json::Value& params,
                                   bool subscribe) {
    std::string& out = writer.out();
    auto topic = topic_param(params);
    if (!topic) {
        out += invalid_topic_result();
        co_return true;
    }
    const std::vector<GossipEntry> entries = store.query(*topic, key_prefix_param(params));
    out += "{\"count\":";
    append_number(out, entries.size());
    out += ",\"entries\":";
    if (!co_await append_entries(writer, entries)) co_return false;
    if (subscribe) {
        out += ",\"mode\":\"snapshot\",\"note\":";
        json::write_string(out, SUBSCRIBE_NOTE);
        out += ",\"subscriber_count\":";
        append_number(out, store.subscriber_count());
    }
    out += ",\"topic\":\"";
    out += gossip::topic_name(*topic);
    out += "\"}";
    co_return true;
}

// The members of "peers" in byte order of their ids, as the JSON object writes them.
asio::awaitable<bool> gossip_peers(ChunkWriter& writer, const GossipStore& store) {
    std::string& out = writer.out();
    const gossip::PeerMap peers = store.peer_stats();
    std::vector<const gossip::PeerMap::value_type*> sorted;
    sorted.reserve(peers.size());
    for (const auto& peer : peers) sorted.push_back(&peer);
    std::sort(sorted.begin(), sorted.end(), [](const auto* a, const auto* b) { return a->first < b->first; });

    out += "{\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"peer_count\":";
    append_number(out, peers.size());
    out += ",\"peers\":{";
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        if (i != 0) out += ',';
        json::write_string(out, sorted[i]->first);
        out += ':';
        json::write(out, sorted[i]->second.to_json());
        if (!co_await writer.chunk_done()) co_return false;
    }
    out += "}}";
    co_return true;
}

InjectParams inject_params_of(json::Value& params) {
    InjectParams taken;
    if (!params.is_object()) return taken;
    if (auto it = params.find("topic"); it != params.end() && it->is_string()) {
        taken.topic = std::move(it->get_ref<std::string&>());
    }
    if (auto it = params.find("key"); it != params.end() && it->is_string()) {
        taken.key = std::move(it->get_ref<std::string&>());
    }
    if (auto it = params.find("payload"); it != params.end()) taken.payload = gossip::share_payload(*it);
    return taken;
}

void gossip_inject(std::string& out, GossipStore& store, InjectParams params) {
    std::optional<gossip::Topic> topic = params.topic ? gossip::parse_topic(*params.topic) : std::nullopt;
    if (!topic) {
        out += invalid_topic_result();
        return;
    }
    if (!params.key) {
        out += missing_key_result();
        return;
    }
    static const gossip::SharedPayload empty_object = gossip::share_payload_text("{}");
    gossip::SharedPayload payload = params.payload ? std::move(params.payload) : empty_object;
    const gossip::IngestOutcome outcome = store.inject_payload(*topic, std::move(*params.key), std::move(payload));
    out += "{\"node_id\":";
    json::write_string(out, store.node_id());
    out += ",\"result\":\"";
    out += gossip::outcome_name(outcome);
    out += "\"}";
}

void begin_success(std::string& out, const json::Value& id) {
    out += "{\"id\":";
    json::write(out, id);
    out += ",\"jsonrpc\":\"2.0\",\"result\":";
}

void end_success(std::string& out) { out += '}'; }

// Appends the result of every method that is answered from the store alone; false for
// one that must wait on other services.
bool append_result_now(std::string& out, Method method, GossipStore& store, Request& request) {
    json::Value& params = request.params;
    switch (method) {
        case Method::HealthLiveness: out += liveness_result(); return true;
        case Method::HealthReadiness: out += readiness_result(store.running()); return true;
        case Method::HealthCheck: health_check(out, store); return true;
        case Method::CapabilitiesList: out += capabilities_result(); return true;
        case Method::BtspNegotiate: out += negotiate_result(); return true;
        case Method::WendleAnnounce: out += announce_result(); return true;
        case Method::GossipSpread: return false;
        case Method::GossipInject:
            gossip_inject(out, store,
                          request.inject_params ? std::move(*request.inject_params) : inject_params_of(params));
            return true;
        case Method::GossipStatus: json::write(out, store.stats().to_json()); return true;
        case Method::GossipQuery:
        case Method::GossipPeers:
        case Method::GossipSubscribe: return false;
    }
    return true;
}

// The methods left by append_result_now: long results written in chunks, and the batch
// that waits on thornKit. False when the sink gave up.
asio::awaitable<bool> append_result_later(ChunkWriter& writer, Method method, GossipStore& store,
                                          const Request& request) {
    switch (method) {
        case Method::GossipQuery: co_return co_await gossip_query(writer, store, request.params, false);
        case Method::GossipSubscribe: co_return co_await gossip_query(writer, store, request.params, true);
        case Method::GossipPeers: co_return co_await gossip_peers(writer, store);
        default: break;
    }
    const json::Value result = co_await mesh::handle_gossip_spread(request.params, store);
    json::write(writer.out(), result);
    co_return true;
}

}  // namespace

asio::awaitable<bool> append_reply(ReplySink& sink, std::string_view line,
                                   const std::shared_ptr<GossipStore>& store_handle) {
    std::string& out = sink.out;
    const std::size_t start = out.size();
    ChunkWriter writer(sink);
    try {
        std::optional<Request> request;
        if (sink.offload && line.size() > OFFLOAD_LINE_BYTES) {
            co_await sink.offload(line.size(), [&] { request = read_request(line); });
        } else {
            request = read_request(line);
        }
        if (!request) {
            out += parse_error_reply();
            co_return true;
        }
        std::optional<Method> method = find_method(request->method);
        if (!method) {
            out += rpc_types::jsonrpc_error_response(request->id, rpc_types::METHOD_NOT_FOUND,
                                                     rpc_types::METHOD_NOT_FOUND_MESSAGE);
            co_return true;
        }
        GossipStore& store = *store_handle;
        begin_success(out, request->id);
        if (!append_result_now(out, *method, store, *request)) {
            if (request->spread_read) {
                std::optional<mesh::SpreadBatch> batch = std::move(request->spread_batch);
                request.reset();  // the line's other values are of no further use
                if (!batch) {
                    out += missing_entry_result();
                } else {
                    const json::Value result = co_await mesh::handle_gossip_spread(std::move(*batch), store);
                    json::write(out, result);
                }
            } else if (!co_await append_result_later(writer, *method, store, *request)) {
                co_return false;
            }
        }
        end_success(out);
        if (sink.offload && line.size() > OFFLOAD_LINE_BYTES) {
            // A big request takes long to take apart, too.
            co_await sink.offload(0, [&] { request.reset(); });
        }
        co_return true;
    } catch (const std::bad_alloc&) {
        // Lack of memory (or a request that would need too much) ends the connection; it
        // is never passed off as a parse error.
        throw;
    } catch (...) {
        // Whatever a library throws on odd input is answered like input that can't be read,
        // unless part of the reply has left already.
        if (writer.drained()) throw;
    }
    out.resize(start);
    out += parse_error_reply();
    co_return true;
}

asio::awaitable<void> append_reply(std::string& out, std::string_view line, const std::shared_ptr<GossipStore>& store) {
    ReplySink sink{out, {}, {}};
    co_await append_reply(sink, line, store);
}

asio::awaitable<std::string> handle_request(std::string_view line, const std::shared_ptr<GossipStore>& store) {
    std::string reply;
    co_await append_reply(reply, line, store);
    co_return reply;
}

}  // namespace quillfern::dispatch
