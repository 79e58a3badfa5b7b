// One reader's part of a ReadBufferBudget.
#pragma once

#include <cstddef>
#include <memory>

#include <asio/any_io_executor.hpp>
#include <asio/steady_timer.hpp>

#include "quillfern/line_reader.hpp"

namespace quillfern::protocol_negotiation {

struct ReadBufferBudget::Holder : std::enable_shared_from_this<Holder> {
    Holder(ReadBufferBudget& budget, const asio::any_io_executor& executor)
        : budget(budget), executor(executor), wake(executor, Clock::time_point::max()) {}

    ReadBufferBudget& budget;
    const asio::any_io_executor executor;
    // Waited on by the reader while it waits; the budget wakes it by having it cancelled
    // on the reader's own executor.
    asio::steady_timer wake;

    // Under the budget's mutex:
    std::size_t held = 0;
    bool waiting = false;             // on its socket or for room, with an unfinished line
    bool wants_room = false;          // paused
    bool closing = false;             // chosen to be closed
    Clock::time_point progress_at{};  // when it last completed progress_bytes received
    std::size_t progress = 0;         // bytes received since
};

}  // namespace quillfern::protocol_negotiation
