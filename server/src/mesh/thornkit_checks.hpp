// The process-wide bound on thornKit checks, inside the mesh: how many checks are in flight
// and how many batches are being checked at once, and the look for thornKit's socket.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <utility>

#include <asio/awaitable.hpp>

#include "quillfern/mesh.hpp"

namespace quillfern::mesh {

// thornKit checks in flight at once, over every connection: each holds a descriptor, and a
// thornKit that never answers holds it 500 ms.
inline constexpr std::size_t kMaxThornkitChecks = 32;
// Batches being checked at once (each has at most one entry in flight or waiting its
// turn). A batch that finds them all taken waits for one, looking at its sender between
// looks: nothing goes in unchecked while thornKit is there.
inline constexpr std::size_t kMaxCheckedBatches = 64;

// The bound on checks in flight and on batches being checked, shared by every thread.
// Entries waiting for a check get it in the order they came to wait.
class CheckBound {
public:
    CheckBound(std::size_t checks, std::size_t batches);
    ~CheckBound();
    CheckBound(const CheckBound&) = delete;
    CheckBound& operator=(const CheckBound&) = delete;

    // One check in flight; the place goes back when the value goes.
    class Check {
    public:
        Check(Check&& other) noexcept : bound_(std::exchange(other.bound_, nullptr)) {}
        Check& operator=(Check&&) = delete;
        ~Check();

    private:
        friend class CheckBound;
        explicit Check(CheckBound* bound) noexcept : bound_(bound) {}
        CheckBound* bound_;
    };
    // One batch's place among those being checked; the place goes back when the value goes.
    class Batch {
    public:
        Batch(Batch&& other) noexcept : bound_(std::exchange(other.bound_, nullptr)) {}
        Batch& operator=(Batch&&) = delete;
        ~Batch();
        // Waits for a check of the batch's next entry to be free, on the caller's executor.
        asio::awaitable<Check> check();

    private:
        friend class CheckBound;
        explicit Batch(CheckBound* bound) noexcept : bound_(bound) {}
        CheckBound* bound_;
    };

    // A place for a batch, or none when every place is taken. Never waits.
    std::optional<Batch> join();

    std::size_t checks_in_flight() const;
    std::size_t batches() const;

private:
    struct State;
    void release_check() noexcept;
    std::unique_ptr<State> state_;
};

// The server's bound: kMaxThornkitChecks and kMaxCheckedBatches.
CheckBound& thornkit_checks();

// Whether thornKit's socket is there, looked at once and then again at most once a second.
// Asked once per entry, it reads the clock only every 64th time.
class ThornkitLookup {
public:
    bool present();

private:
    std::optional<std::chrono::steady_clock::time_point> looked_;
    bool present_ = false;
    unsigned asked_ = 0;  // since the clock was last read
};

// The same under `checks` (tests make bounds of their own).
asio::awaitable<std::optional<json::Value>> take_in_spread(SpreadBatch batch, gossip::GossipStore& store,
                                                           BatchSender sender, CheckBound& checks);

}  // namespace quillfern::mesh
