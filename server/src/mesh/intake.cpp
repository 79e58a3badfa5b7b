// "gossip.spread": a batch of entries from a peer, each checked with thornKit and then
// ingested with the sender as the sending peer.
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include <asio/post.hpp>
#include <asio/steady_timer.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"

namespace quillfern::mesh {

namespace {

// A long batch lets the other connections of its thread run after this many entries.
constexpr std::size_t kEntriesBetweenYields = 256;

// A batch that finds every place among the checked ones taken looks again this often,
// and at its sender in between.
constexpr auto kPlaceRetry = std::chrono::milliseconds(50);

// True when thornKit allowed the entry and the store accepted it.
asio::awaitable<bool> take_checked(gossip::GossipEntry entry, std::string_view sender, gossip::GossipStore& store) {
    if (!co_await validate_with_thornkit(entry)) {
        QF_LOG(log::Level::Debug, log::targets::kDispatch, "fern-kit REJECT from thornKit",
               log::text("key", gossip::text_of(entry.key)));
        co_return false;
    }
    co_return store.ingest(std::move(entry), sender) == gossip::IngestOutcome::Accepted;
}

json::Value counts(std::uint32_t accepted, std::uint32_t rejected) {
    return json::Value{{"accepted", accepted}, {"rejected", rejected}};
}

// Looks at the sender's connection before each entry that is checked with thornKit. A
// sender whose connection is gone reads no reply; one that only shut down its sending
// side does; an end that can't be told apart counts as gone once the sender's reply
// limit has passed, before which it can't have given up.
class SenderWatch {
public:
    explicit SenderWatch(BatchSender sender) noexcept
        : sender_(std::move(sender)), started_(std::chrono::steady_clock::now()) {}

    bool gone() {
        if (!sender_.end) return false;
        switch (sender_.end()) {
            case transport::PeerEnd::Open:
            case transport::PeerEnd::SendingShut: return false;
            case transport::PeerEnd::Gone: return true;
            case transport::PeerEnd::Ended: break;
        }
        return std::chrono::steady_clock::now() - started_ >= sender_.reply_limit;
    }

private:
    BatchSender sender_;
    std::chrono::steady_clock::time_point started_;
};

}  // namespace

asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender) {
    co_return co_await take_in_spread(std::move(batch), store, std::move(sender), thornkit_checks());
}

asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender, CheckBound& checks) {
    const auto executor = co_await asio::this_coro::executor;
    std::uint32_t accepted = 0;
    std::uint32_t rejected = 0;
    const std::string_view from = batch.sender;
    SenderWatch watch(std::move(sender));
    ThornkitLookup thornkit;
    // The batch's place among those checked, taken at its first check; while every place
    // is taken the batch waits for one (nothing of it goes in unchecked).
    std::optional<CheckBound::Batch> place;
    std::optional<asio::steady_timer> place_retry;
    std::size_t since_yield = 0;
    // Entries that need no thornKit verdict go to the store together, a slice at a time;
    // the slice is taken in before the connection yields and before an entry is checked.
    std::vector<gossip::GossipEntry> slice;
    auto take_slice = [&] {  // throws only std::bad_alloc, which ends the connection
        if (slice.empty()) return;
        for (gossip::IngestOutcome outcome : store.ingest_batch(slice, from)) {
            ++(outcome == gossip::IngestOutcome::Accepted ? accepted : rejected);
        }
        slice.clear();  // their memory goes back as the batch is taken in
    };
    for (std::size_t index = 0; index < batch.elements.size(); ++index) {
        std::optional<gossip::GossipEntry>& element = batch.elements[index];
        if (++since_yield == kEntriesBetweenYields) {
            since_yield = 0;
            take_slice();
            co_await asio::post(executor, asio::use_awaitable);
        }
        if (!element) {
            ++rejected;
            continue;
        }
        if (!thornkit.present()) {
            slice.push_back(std::move(*element));
            element.reset();
            continue;
        }
        take_slice();
        // Only a check with thornKit can take long: that is where the sender may give up,
        // also while the batch waits for its place and the entry for its turn.
        auto gone = [&] {
            if (!watch.gone()) return false;
            QF_LOG(log::Level::Warn, log::targets::kDispatch,
                   "Gossip batch sender has gone — rest of the batch left unchecked", log::text("from", from),
                   log::number("left", batch.elements.size() - index));
            return true;
        };
        if (gone()) co_return std::nullopt;
        while (!place) {
            if (std::optional<CheckBound::Batch> joined = checks.join()) {
                place.emplace(std::move(*joined));
                break;
            }
            if (!place_retry) place_retry.emplace(executor);
            place_retry->expires_after(kPlaceRetry);
            co_await place_retry->async_wait(asio::use_awaitable);
            if (gone()) co_return std::nullopt;
        }
        auto waiting = place->check();
        const CheckBound::Check check = co_await std::move(waiting);
        if (gone()) co_return std::nullopt;
        bool taken = false;
        try {
            taken = co_await take_checked(std::move(*element), from, store);
        } catch (const std::bad_alloc&) {
            throw;  // lack of memory ends the connection, not just this entry
        } catch (...) {
            // A failing element never ends the batch: it counts as rejected.
        }
        element.reset();  // its memory goes back as the batch is taken in
        ++(taken ? accepted : rejected);
    }
    take_slice();
    co_return counts(accepted, rejected);
}

}  // namespace quillfern::mesh
