// Grown read buffers share one budget: a reader that would pass it is paused until room
// comes back, and when it stays spent the reader stalled on the largest unfinished line
// is closed. Readers run on threads of their own, as on the server's workers.
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/line_reader.hpp"
#include "socket_pair.hpp"

namespace quillfern::protocol_negotiation {
namespace {

using testing::SocketPair;
using namespace std::chrono_literals;

// A budget for one buffer of 64 KiB, or two of 32 KiB.
constexpr std::size_t kTotal = 65536;

// The line loop's way of reading: the next line, "<end>" or "<error: text>".
asio::awaitable<std::string> next_line(LineReader& reader, LineReader::Clock::duration release_after) {
    for (;;) {
        auto line = reader.take_buffered_line();
        if (!line) co_return "<error: " + line.error().error.message() + ">";
        if (*line) co_return std::string(**line);
        auto got = co_await reader.fill_next(release_after);
        if (!got) co_return "<error: " + got.error().message() + ">";
        if (*got == 0) co_return "<end>";
    }
}

asio::awaitable<void> fill_until(LineReader& reader, std::size_t bytes) {
    while (reader.buffered().size() < bytes) co_await reader.fill();
}

// Waits (on the test's thread) until `done` holds; false after a generous limit.
template <class Predicate>
bool eventually(Predicate done) {
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::yield();
    }
    return true;
}

// One reader and its client on a thread of its own.
struct Side {
    explicit Side(ReadBufferBudget& budget) : reader(std::in_place, std::move(pair.server), kMaxLineBytes, budget) {
        reader->stream().non_blocking(true);
    }
    SocketPair pair;
    std::optional<LineReader> reader;
};

TEST(LineReaderBudgetTest, BuffersOfTheFirstSizeNeverCountOrWait) {
    ReadBufferBudget none(0);
    Side side(none);
    std::string input;
    std::vector<std::string> expected;
    for (int i = 0; input.size() < 4 * kReadBufferBytes; ++i) {
        expected.push_back(std::to_string(i) + std::string(200, 's') + "\n");
        input += expected.back();
    }
    side.pair.send(input);
    std::vector<std::string> lines;
    side.pair.run([&]() -> asio::awaitable<void> {
        for (std::size_t i = 0; i < expected.size(); ++i) lines.push_back(co_await next_line(*side.reader, 0ms));
    }());
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(none.held(), 0u);
    EXPECT_EQ(none.closed_readers(), 0u);
}

// A paused read raced against a deadline ends with it, its bytes kept (a negotiation line,
// a sibling's reply).
TEST(LineReaderBudgetTest, APausedReadEndsAtItsDeadline) {
    ReadBufferBudget none(0, 1h);
    Side side(none);
    side.pair.send(std::string(20'000, 'd'));
    bool passed = false;
    side.pair.run([&]() -> asio::awaitable<void> {
        auto line = co_await side.reader->read_line(LineReader::Clock::now() + 10ms);
        passed = line && !*line;
    }());
    EXPECT_TRUE(passed);
    EXPECT_EQ(side.reader->buffered(), std::string(kReadBufferBytes, 'd'));
    EXPECT_EQ(none.paused_readers(), 0u);
}

TEST(LineReaderBudgetTest, AReaderPastTheBudgetIsPausedUntilRoomComesBack) {
    ReadBufferBudget budget(kTotal, 1h);
    Side holder(budget), waiter(budget);
    // The holder's unfinished line takes the whole budget.
    const std::string held = std::string(40'000, 'h');
    holder.pair.send(held);
    holder.pair.run(fill_until(*holder.reader, held.size()));
    ASSERT_EQ(budget.held(), kTotal);

    const std::string line = std::string(30'000, 'w') + "\n";
    waiter.pair.send(line);
    std::string waited;
    std::thread other([&] {
        waiter.pair.run([&]() -> asio::awaitable<void> { waited = co_await next_line(*waiter.reader, 1h); }());
        holder.pair.end_input();  // the holder's reader may end now
    });
    ASSERT_TRUE(eventually([&] { return budget.paused_readers() == 1; }));
    EXPECT_TRUE(waited.empty());

    // The holder's line ends; once it is quiet its buffer goes back, and the waiter reads on.
    holder.pair.send("\n");
    std::vector<std::string> lines;
    holder.pair.run([&]() -> asio::awaitable<void> {
        lines.push_back(co_await next_line(*holder.reader, 0ms));
        lines.push_back(co_await next_line(*holder.reader, 0ms));
    }());
    other.join();
    EXPECT_EQ(lines, (std::vector<std::string>{held + "\n", "<end>"}));
    EXPECT_EQ(waited, line);
    EXPECT_EQ(budget.closed_readers(), 0u);
    EXPECT_EQ(budget.paused_readers(), 0u);
}

TEST(LineReaderBudgetTest, WhenTheBudgetStaysSpentTheLargestStalledLineIsClosed) {
    ReadBufferBudget budget(kTotal + 32768, 20ms);
    Side stalled(budget), small(budget), waiter(budget);
    // Two readers wait on unfinished lines, in buffers of 64 KiB and 32 KiB.
    stalled.pair.send(std::string(40'000, 'a'));
    stalled.pair.run(fill_until(*stalled.reader, 40'000));
    small.pair.send(std::string(kReadBufferBytes + 1, 'b'));
    small.pair.run(fill_until(*small.reader, kReadBufferBytes + 1));
    ASSERT_EQ(budget.held(), kTotal + 32768);

    const std::string line = std::string(30'000, 'w') + "\n";
    waiter.pair.send(line);
    std::string waited;
    std::thread other([&] {
        waiter.pair.run([&]() -> asio::awaitable<void> { waited = co_await next_line(*waiter.reader, 1h); }());
    });
    std::string closed;
    std::thread smaller(
        [&] { small.pair.run([&]() -> asio::awaitable<void> { co_await next_line(*small.reader, 1h); }()); });
    stalled.pair.run([&]() -> asio::awaitable<void> {
        closed = co_await next_line(*stalled.reader, 1h);
        stalled.reader.reset();  // the connection ends
    }());
    other.join();
    EXPECT_EQ(closed, "<error: " + std::string(kReadBudgetClosedText) + ">");
    EXPECT_EQ(waited, line);
    EXPECT_EQ(budget.closed_readers(), 1u);

    small.pair.end_input();
    smaller.join();
}

// A reader whose line is being answered waits for nothing: it is never the one closed.
TEST(LineReaderBudgetTest, AReaderBusyWithACompleteLineIsNotClosed) {
    ReadBufferBudget budget(kTotal, 5ms);
    Side busy(budget), waiter(budget);
    const std::string big = std::string(40'000, 'c') + "\n";
    busy.pair.send(big);
    busy.pair.run(fill_until(*busy.reader, big.size()));
    ASSERT_EQ(budget.held(), kTotal);
    const std::optional<std::string_view> taken = *busy.reader->take_buffered_line();
    ASSERT_EQ(taken, big);

    const std::string line = std::string(30'000, 'w') + "\n";
    waiter.pair.send(line);
    std::string waited;
    std::thread other([&] {
        waiter.pair.run([&]() -> asio::awaitable<void> { waited = co_await next_line(*waiter.reader, 1h); }());
    });
    // Patience runs out again and again while the line is answered: nobody may be closed.
    ASSERT_TRUE(eventually([&] { return budget.stalls() >= 3; }));
    EXPECT_EQ(budget.closed_readers(), 0u);

    busy.pair.end_input();
    std::string after;
    busy.pair.run([&]() -> asio::awaitable<void> { after = co_await next_line(*busy.reader, 0ms); }());
    busy.reader.reset();
    other.join();
    EXPECT_EQ(after, "<end>");
    EXPECT_EQ(waited, line);
    EXPECT_EQ(budget.closed_readers(), 0u);
}

}  // namespace
}  // namespace quillfern::protocol_negotiation
