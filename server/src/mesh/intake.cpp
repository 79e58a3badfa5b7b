// "gossip.spread": a batch of entries from a peer, each checked with thornKit and then
// ingested with the sender as the sending peer.
#include <chrono>
#include <cstdint>
#include <new>
#include <optional>
#include <span>
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
#include "thornkit_checks.hpp"

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

// The elements of a batch read by read_spread_params: the entries that need no thornKit
// verdict are gathered in a slice of their own.
class BuiltElements {
public:
    explicit BuiltElements(SpreadBatch& batch) noexcept : batch_(batch) {}
    std::size_t size() const noexcept { return batch_.elements.size(); }
    bool is_entry(std::size_t index) const noexcept { return batch_.elements[index].has_value(); }
    void add_to_slice(std::size_t index) {
        slice_.push_back(std::move(*batch_.elements[index]));
        batch_.elements[index].reset();
    }
    // Throws only std::bad_alloc, which ends the connection.
    template <class Count>
    void take_slice(gossip::GossipStore& store, Count count) {
        if (slice_.empty()) return;
        for (gossip::IngestOutcome outcome : store.ingest_batch(slice_, batch_.sender)) count(outcome);
        slice_.clear();  // their memory goes back as the batch is taken in
    }
    gossip::GossipEntry take_entry(std::size_t index) { return std::move(*batch_.elements[index]); }
    void release(std::size_t index) noexcept { batch_.elements[index].reset(); }

private:
    SpreadBatch& batch_;
    std::vector<gossip::GossipEntry> slice_;
};

// The entries of a batch read in place: a slice is a run of them, handed to the store as
// it stands; only an entry checked with thornKit is built here.
class ViewedEntries {
public:
    explicit ViewedEntries(PlainSpreadBatch& batch) noexcept : batch_(batch) {}
    std::size_t size() const noexcept { return batch_.entries.size(); }
    bool is_entry(std::size_t) const noexcept { return true; }
    void add_to_slice(std::size_t index) noexcept {
        if (count_ == 0) first_ = index;
        ++count_;
    }
    template <class Count>
    void take_slice(gossip::GossipStore& store, Count count) {
        if (count_ == 0) return;
        const std::span<const gossip::EntryView> slice(batch_.entries.data() + first_, count_);
        count_ = 0;
        for (gossip::IngestOutcome outcome : store.ingest_views(slice, batch_.sender)) count(outcome);
    }
    gossip::GossipEntry take_entry(std::size_t index) {
        gossip::GossipEntry entry = batch_.entries[index].entry(last_origin_);
        last_origin_ = entry.origin_gate;
        return entry;
    }
    void release(std::size_t) noexcept {}

private:
    PlainSpreadBatch& batch_;
    std::size_t first_ = 0;
    std::size_t count_ = 0;
    gossip::SharedText last_origin_;
};

// The intake of one batch, whichever way it was read.
template <class Elements>
asio::awaitable<std::optional<json::Value>> take_in(Elements elements, std::string_view from,
                                                    gossip::GossipStore& store, BatchSender sender,
                                                    CheckBound& checks) {
    const auto executor = co_await asio::this_coro::executor;
    std::uint32_t accepted = 0;
    std::uint32_t rejected = 0;
    SenderWatch watch(std::move(sender));
    ThornkitLookup thornkit;
    // The batch's place among those checked, taken at its first check; while every place
    // is taken the batch waits for one (nothing of it goes in unchecked).
    std::optional<CheckBound::Batch> place;
    std::optional<asio::steady_timer> place_retry;
    std::size_t since_yield = 0;
    // Entries that need no thornKit verdict go to the store together, a slice at a time;
    // the slice is taken in before the connection yields and before an entry is checked.
    auto take_slice = [&] {
        elements.take_slice(store, [&](gossip::IngestOutcome outcome) {
            ++(outcome == gossip::IngestOutcome::Accepted ? accepted : rejected);
        });
    };
    for (std::size_t index = 0; index < elements.size(); ++index) {
        if (++since_yield == kEntriesBetweenYields) {
            since_yield = 0;
            take_slice();
            co_await asio::post(executor, asio::use_awaitable);
        }
        if (!elements.is_entry(index)) {
            ++rejected;
            continue;
        }
        if (!thornkit.present()) {
            elements.add_to_slice(index);
            continue;
        }
        take_slice();
        // Only a check with thornKit can take long: that is where the sender may give up,
        // also while the batch waits for its place and the entry for its turn.
        auto gone = [&] {
            if (!watch.gone()) return false;
            QF_LOG(log::Level::Warn, log::targets::kDispatch,
                   "Gossip batch sender has gone — rest of the batch left unchecked", log::text("from", from),
                   log::number("left", elements.size() - index));
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
            taken = co_await take_checked(elements.take_entry(index), from, store);
        } catch (const std::bad_alloc&) {
            throw;  // lack of memory ends the connection, not just this entry
        } catch (...) {
            // A failing element never ends the batch: it counts as rejected.
        }
        elements.release(index);  // its memory goes back as the batch is taken in
        ++(taken ? accepted : rejected);
    }
    take_slice();
    co_return counts(accepted, rejected);
}

}  // namespace

asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender) {
    co_return co_await take_in_spread(std::move(batch), store, std::move(sender), thornkit_checks());
}

asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender, CheckBound& checks) {
    co_return co_await take_in(BuiltElements(batch), batch.sender, store, std::move(sender), checks);
}

asio::awaitable<std::optional<json::Value>> take_in_spread(PlainSpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender) {
    co_return co_await take_in(ViewedEntries(batch), batch.sender, store, std::move(sender), thornkit_checks());
}

}  // namespace quillfern::mesh
