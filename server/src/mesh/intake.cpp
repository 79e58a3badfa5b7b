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
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/log.hpp"
#include "quillfern/log_targets.hpp"
#include "quillfern/mesh.hpp"
#include "quillfern/paths.hpp"

namespace quillfern::mesh {

namespace {

// Without a thornKit socket every entry is allowed without a connection. Whether the
// socket is there is looked at again after this many entries, so that a long batch costs
// a file-system check per slice rather than per entry, and a thornKit that appears while
// it is taken in is asked about the rest.
constexpr std::size_t kThornkitRecheckEntries = 64;
// A long batch lets the other connections of its thread run after this many entries.
constexpr std::size_t kEntriesBetweenYields = 256;

bool thornkit_socket_present() { return paths::exists(paths::thornkit_socket_path()); }

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

// Looks at the sender's connection before the entries that are checked with thornKit.
// Before the sender's reply limit has passed it can't have given up; an end of its
// stream seen early is a client that ended its request that way and reads the reply.
class SenderWatch {
public:
    explicit SenderWatch(BatchSender sender) noexcept
        : sender_(std::move(sender)), started_(std::chrono::steady_clock::now()) {}

    // True once the sender has gone: its connection ended after its reply limit passed.
    bool gone() {
        if (!sender_.ended || half_closed_) return false;
        const auto elapsed = std::chrono::steady_clock::now() - started_;
        if (elapsed < sender_.half_close_window) {
            half_closed_ = sender_.ended();
            return false;
        }
        return elapsed >= sender_.reply_limit && sender_.ended();
    }

private:
    BatchSender sender_;
    std::chrono::steady_clock::time_point started_;
    bool half_closed_ = false;  // the end came with the request: the sender waits for the reply
};

}  // namespace

asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender) {
    const auto executor = co_await asio::this_coro::executor;
    std::uint32_t accepted = 0;
    std::uint32_t rejected = 0;
    const std::string_view from = batch.sender;
    SenderWatch watch(std::move(sender));
    bool thornkit_present = false;
    std::size_t until_recheck = 0;
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
        if (until_recheck == 0) {
            thornkit_present = thornkit_socket_present();
            until_recheck = kThornkitRecheckEntries;
        }
        --until_recheck;
        if (!thornkit_present) {
            slice.push_back(std::move(*element));
            element.reset();
            continue;
        }
        take_slice();
        // Only a check with thornKit can take long: that is where the sender may give up.
        if (watch.gone()) {
            QF_LOG(log::Level::Warn, log::targets::kDispatch,
                   "Gossip batch sender has gone — rest of the batch left unchecked", log::text("from", from),
                   log::number("left", batch.elements.size() - index));
            co_return std::nullopt;
        }
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
