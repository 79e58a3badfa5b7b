// The read buffer grows for a long line. read_line gives it back once that line is used up,
// before the connection waits for more; the line loop's reads (fill_next) keep it while the
// peer keeps sending and shrink it to what it holds once the peer goes quiet, or at once,
// when it is huge, to the first size.
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include "quillfern/line_reader.hpp"
#include "socket_pair.hpp"

namespace quillfern::protocol_negotiation {
namespace {

using testing::SocketPair;

asio::awaitable<void> read_and_measure(LineReader& reader, SocketPair& pair, std::vector<std::string>& lines,
                                       std::vector<std::size_t>& capacities) {
    for (int i = 0; i < 3; ++i) {
        auto line = co_await reader.read_line();
        lines.emplace_back(line && *line ? std::string(**line) : "<none>");
        capacities.push_back(reader.capacity());
        if (i == 1) pair.send("after\n");  // only once the long line's successor is read
    }
}

TEST(LineReaderMemoryTest, ABufferGrownForALongLineShrinksWhenItEmpties) {
    const std::string long_line = std::string(100'000, 'x') + "\n";
    SocketPair pair;
    pair.send(long_line + "tail");  // a partial line keeps the buffer in use
    pair.send("\n");
    LineReader reader(std::move(pair.server));
    std::vector<std::string> lines;
    std::vector<std::size_t> capacities;
    pair.run(read_and_measure(reader, pair, lines, capacities));

    EXPECT_EQ(lines, (std::vector<std::string>{long_line, "tail\n", "after\n"}));
    EXPECT_GT(capacities[0], 100'000u);
    EXPECT_EQ(capacities[1], capacities[0]);  // "tail" came with the long line: nothing was read since
    EXPECT_EQ(capacities[2], kReadBufferBytes);
}

// The line loop's way of reading: every complete line taken, then one read. `capacities`
// gets the buffer's size after each read.
asio::awaitable<std::string> next_line(LineReader& reader, LineReader::Clock::duration release_after,
                                       std::vector<std::size_t>* capacities = nullptr) {
    for (;;) {
        auto line = reader.take_buffered_line();
        if (line && *line) co_return std::string(**line);
        if (!line) co_return "<error>";
        auto got = co_await reader.fill_next(release_after);
        if (capacities != nullptr) capacities->push_back(reader.capacity());
        if (!got || *got == 0) co_return "<end>";
    }
}

// How a grown buffer fares between two lines of the line loop: the first is sent at once
// (by a thread of its own: it may be more than the socket holds), the second once the
// first is taken and, for a quiet peer, once the buffer has shrunk to the first size.
struct Between {
    std::string name;
    std::string first;  // a long line, and possibly the start of the next
    std::chrono::milliseconds release_after;
    bool quiet;  // the peer stays quiet until the buffer has shrunk
    std::string later;
    std::vector<std::string> lines;
    bool kept;  // the second line is read in the first line's buffer, else in one of the first size
};

struct Observed {
    std::vector<std::string> lines;
    std::size_t grown = 0;                // the capacity once the first line is taken
    std::vector<std::size_t> capacities;  // after each read of the second line
};

// Sends `later` once the reader has given its grown buffer back (the peer quiet meanwhile).
asio::awaitable<void> send_once_shrunk(LineReader& reader, SocketPair& pair, const std::string& later) {
    while (reader.capacity() != kReadBufferBytes)
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    pair.send(later);
}

asio::awaitable<void> read_between(LineReader& reader, SocketPair& pair, std::thread& writer, const Between& c,
                                   Observed& seen) {
    using namespace asio::experimental::awaitable_operators;
    seen.lines.push_back(co_await next_line(reader, c.release_after));
    seen.grown = reader.capacity();
    writer.join();  // it has written everything
    if (c.quiet) {
        std::string second;
        co_await (send_once_shrunk(reader, pair, c.later) && [&]() -> asio::awaitable<void> {
            second = co_await next_line(reader, c.release_after, &seen.capacities);
        }());
        seen.lines.push_back(second);
    } else {
        pair.send(c.later);
        seen.lines.push_back(co_await next_line(reader, c.release_after, &seen.capacities));
    }
}

TEST(LineReaderMemoryTest, AGrownBufferBetweenTwoLines) {
    const std::string batch = std::string(100'000, 'b') + "\n";
    const std::string huge = std::string(kKeptReadBufferBytes + 1, 'h') + "\n";
    const std::string almost_kept = std::string(kKeptReadBufferBytes - 100'000, 'k') + "\n";
    const std::string quiet = std::string(100'000, 'q') + "\n";
    const Between cases[] = {
        // Neither given back in between nor grown again: every read of the second line had it.
        {"a peer that keeps sending keeps its grown buffer",
         batch,
         std::chrono::hours(1),
         false,
         batch,
         {batch, batch},
         true},
        {"a buffer grown past what is kept goes back at once",
         huge,
         std::chrono::hours(1),
         false,
         "after\n",
         {huge, "after\n"},
         false},
        {"a quiet peer gives its grown buffer back while it waits",
         quiet,
         std::chrono::milliseconds(0),
         true,
         "after\n",
         {quiet, "after\n"},
         false},
        // What the peer sent after the long line moves into a buffer of the first size.
        {"a small remainder leaves a buffer past what is kept at once",
         huge + "x",
         std::chrono::hours(1),
         false,
         "yz\n",
         {huge, "xyz\n"},
         false},
        {"a small remainder leaves a grown buffer when the peer goes quiet",
         almost_kept + "x",
         std::chrono::milliseconds(0),
         true,
         "yz\n",
         {almost_kept, "xyz\n"},
         false},
    };
    for (const Between& c : cases) {
        SocketPair pair;
        LineReader reader(std::move(pair.server));
        reader.stream().non_blocking(true);
        Observed seen;
        std::thread writer([&] { pair.send(c.first); });
        pair.run(read_between(reader, pair, writer, c, seen));

        EXPECT_EQ(seen.lines, c.lines) << c.name;
        EXPECT_GE(seen.grown, c.lines[0].size()) << c.name;
        ASSERT_FALSE(seen.capacities.empty()) << c.name;
        for (std::size_t capacity : seen.capacities) {
            EXPECT_EQ(capacity, c.kept ? seen.grown : kReadBufferBytes) << c.name;
        }
    }
}

// The first half of a line fills the buffer past its first size; then the peer pauses
// and sends the rest after the reader's quiet-spell timer (0 ms) has had time to fire or,
// `until_fitted`, once the buffer has shrunk to the bytes it holds. `seen.capacities`
// gets the capacity before the pause and when the rest is sent.
asio::awaitable<void> take_split_line(LineReader& reader, SocketPair& pair, const std::string& line, bool until_fitted,
                                      Observed& seen) {
    using namespace asio::experimental::awaitable_operators;
    while (reader.buffered().size() < line.size() / 2) co_await reader.fill();
    seen.capacities.push_back(reader.capacity());
    std::string whole;
    co_await ([&]() -> asio::awaitable<void> {
        const auto executor = co_await asio::this_coro::executor;
        if (until_fitted) {
            while (reader.capacity() != reader.buffered().size()) co_await asio::post(executor, asio::use_awaitable);
        } else {
            for (int i = 0; i < 100; ++i) co_await asio::post(executor, asio::use_awaitable);
        }
        seen.capacities.push_back(reader.capacity());
        pair.send(line.substr(line.size() / 2));
    }() && [&]() -> asio::awaitable<void> { whole = co_await next_line(reader, std::chrono::milliseconds(0)); }());
    seen.lines.push_back(whole);
}

// Through a quiet spell a grown buffer keeps the partial line it holds, and only that.
TEST(LineReaderMemoryTest, APartialLineSurvivesAQuietSpellWhole) {
    const std::string line = std::string(50'000, 'p') + "\n";
    for (const bool until_fitted : {false, true}) {
        SocketPair pair;
        pair.send(line.substr(0, line.size() / 2));
        LineReader reader(std::move(pair.server));
        reader.stream().non_blocking(true);
        Observed seen;
        pair.run(take_split_line(reader, pair, line, until_fitted, seen));

        EXPECT_GT(seen.capacities[0], kReadBufferBytes) << until_fitted;
        if (until_fitted) {
            EXPECT_EQ(seen.capacities[1], line.size() / 2);
        }
        EXPECT_EQ(seen.lines, std::vector<std::string>{line}) << until_fitted;
    }
}

}  // namespace
}  // namespace quillfern::protocol_negotiation
