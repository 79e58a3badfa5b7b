// "gossip.spread": a batch of entries from a peer, each checked with thornKit and then
// ingested with the sender as the sending peer.
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/post.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/dispatch.hpp"
#include "quillfern/log.hpp"
#include "quillfern/rpc_types.hpp"

namespace quillfern::dispatch {

namespace {

constexpr std::string_view LOG_TARGET = "quillfern_server::dispatch";
constexpr std::string_view UNKNOWN_SENDER = "unknown";
// A long batch lets the other connections of its thread run after this many entries.
constexpr std::size_t ENTRIES_BETWEEN_YIELDS = 256;

struct Batch {
    std::string_view sender = UNKNOWN_SENDER;
    std::vector<const json::Value*> elements;  // borrowed from params, in batch order
};

// None when params holds neither an array under "entries" nor any "entry".
std::optional<Batch> read_batch(const json::Value& params) {
    if (!params.is_object()) return std::nullopt;
    Batch batch;
    if (auto from = params.find("from"); from != params.end() && from->is_string()) {
        batch.sender = from->get_ref<const std::string&>();
    }
    if (auto entries = params.find("entries"); entries != params.end() && entries->is_array()) {
        batch.elements.reserve(entries->size());
        for (const json::Value& element : *entries) batch.elements.push_back(&element);
        return batch;
    }
    if (auto entry = params.find("entry"); entry != params.end()) {
        batch.elements.push_back(&*entry);
        return batch;
    }
    return std::nullopt;
}

// True when the element was decoded, allowed by thornKit and accepted by the store.
asio::awaitable<bool> take_element(const json::Value& element, std::string_view sender,
                                   gossip::GossipStore& store) {
    auto decoded = gossip::GossipEntry::from_json(element);
    if (!decoded) co_return false;
    gossip::GossipEntry& entry = *decoded;
    if (!co_await validate_with_thornkit(entry)) {
        QF_LOG(log::Level::Debug, LOG_TARGET, "fern-kit REJECT from thornKit",
               log::text("key", gossip::text_of(entry.key)));
        co_return false;
    }
    co_return store.ingest(std::move(entry), sender) == gossip::IngestOutcome::Accepted;
}

}  // namespace

asio::awaitable<json::Value> handle_gossip_spread(const json::Value& params, gossip::GossipStore& store) {
    std::optional<Batch> batch = read_batch(params);
    if (!batch) co_return json::Value{{"error", std::string(rpc_types::MISSING_ENTRY_ERROR)}};

    const auto executor = co_await asio::this_coro::executor;
    std::uint32_t accepted = 0;
    std::uint32_t rejected = 0;
    std::size_t since_yield = 0;
    for (const json::Value* element : batch->elements) {
        if (++since_yield == ENTRIES_BETWEEN_YIELDS) {
            since_yield = 0;
            co_await asio::post(executor, asio::use_awaitable);
        }
        bool taken = false;
        try {
            taken = co_await take_element(*element, batch->sender, store);
        } catch (const std::bad_alloc&) {
            throw;  // lack of memory ends the connection, not just this entry
        } catch (...) {
            // A failing element never ends the batch: it counts as rejected.
        }
        ++(taken ? accepted : rejected);
    }
    co_return json::Value{{"accepted", accepted}, {"rejected", rejected}};
}

}  // namespace quillfern::dispatch
