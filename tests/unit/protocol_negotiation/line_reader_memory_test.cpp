// The read buffer grows for a long line. read_line gives it back once that line is used up,
// before the connection waits for more; the line loop's reads (fill_next) keep it while the
// peer keeps sending and give it back once the peer goes quiet, or at once when it is huge.
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

struct Observed {
    std::vector<std::string> lines;
    std::vector<std::size_t> capacities;
};

asio::awaitable<void> take_two_long_lines(LineReader& reader, SocketPair& pair, const std::string& line,
                                          Observed& seen) {
    seen.lines.push_back(co_await next_line(reader, std::chrono::hours(1)));
    seen.capacities.push_back(reader.capacity());
    pair.send(line);  // the next batch, once the first is used up
    seen.lines.push_back(co_await next_line(reader, std::chrono::hours(1), &seen.capacities));
}

TEST(LineReaderMemoryTest, ThePeerThatKeepsSendingKeepsItsGrownBuffer) {
    const std::string line = std::string(100'000, 'b') + "\n";
    SocketPair pair;
    pair.send(line);
    LineReader reader(std::move(pair.server));
    reader.stream().non_blocking(true);
    Observed seen;
    pair.run(take_two_long_lines(reader, pair, line, seen));

    EXPECT_EQ(seen.lines, (std::vector<std::string>{line, line}));
    ASSERT_GE(seen.capacities.size(), 2u);
    EXPECT_GT(seen.capacities[0], 100'000u);
    // Neither given back in between nor grown again: every read of the second line had it.
    for (std::size_t i = 1; i < seen.capacities.size(); ++i) EXPECT_EQ(seen.capacities[i], seen.capacities[0]) << i;
}

asio::awaitable<void> take_huge_line(LineReader& reader, SocketPair& pair, std::thread& writer, Observed& seen) {
    seen.lines.push_back(co_await next_line(reader, std::chrono::hours(1)));
    seen.capacities.push_back(reader.capacity());
    writer.join();  // it has written everything: the whole line was read
    pair.send("after\n");
    seen.lines.push_back(co_await next_line(reader, std::chrono::hours(1), &seen.capacities));
}

TEST(LineReaderMemoryTest, ABufferGrownPastWhatIsKeptGoesBackAtOnce) {
    const std::string line = std::string(kKeptReadBufferBytes + 1, 'h') + "\n";
    SocketPair pair;
    LineReader reader(std::move(pair.server));
    reader.stream().non_blocking(true);
    Observed seen;
    // The line is more than the socket holds: it is written while the reader reads.
    std::thread writer([&] { pair.send(line); });
    pair.run(take_huge_line(reader, pair, writer, seen));

    EXPECT_EQ(seen.lines, (std::vector<std::string>{line, "after\n"}));
    EXPECT_GT(seen.capacities[0], kKeptReadBufferBytes);
    EXPECT_EQ(seen.capacities[1], kReadBufferBytes);
}

// Sends `later` once the reader has given its grown buffer back (the peer quiet meanwhile).
asio::awaitable<void> send_once_shrunk(LineReader& reader, SocketPair& pair, const std::string& later) {
    while (reader.capacity() != kReadBufferBytes)
        co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
    pair.send(later);
}

asio::awaitable<void> read_through_a_quiet_spell(LineReader& reader, SocketPair& pair, Observed& seen) {
    using namespace asio::experimental::awaitable_operators;
    seen.lines.push_back(co_await next_line(reader, std::chrono::milliseconds(0)));
    seen.capacities.push_back(reader.capacity());
    std::string second;
    co_await (send_once_shrunk(reader, pair, "after\n") && [&]() -> asio::awaitable<void> {
        second = co_await next_line(reader, std::chrono::milliseconds(0));
    }());
    seen.lines.push_back(second);
    seen.capacities.push_back(reader.capacity());
}

TEST(LineReaderMemoryTest, AQuietPeerGivesItsGrownBufferBackWhileItWaits) {
    const std::string line = std::string(100'000, 'q') + "\n";
    SocketPair pair;
    pair.send(line);
    LineReader reader(std::move(pair.server));
    reader.stream().non_blocking(true);
    Observed seen;
    pair.run(read_through_a_quiet_spell(reader, pair, seen));

    EXPECT_EQ(seen.lines, (std::vector<std::string>{line, "after\n"}));
    EXPECT_GT(seen.capacities[0], 100'000u);
    EXPECT_EQ(seen.capacities[1], kReadBufferBytes);
}

asio::awaitable<void> take_split_line(LineReader& reader, SocketPair& pair, const std::string& line, Observed& seen) {
    using namespace asio::experimental::awaitable_operators;
    // The first half fills the buffer past its first size; then the peer pauses.
    while (reader.buffered().size() < line.size() / 2) co_await reader.fill();
    seen.capacities.push_back(reader.capacity());
    std::string whole;
    co_await ([&]() -> asio::awaitable<void> {
        // Yields long enough for the reader's quiet-spell timer (0 ms) to have fired.
        for (int i = 0; i < 100; ++i) co_await asio::post(co_await asio::this_coro::executor, asio::use_awaitable);
        pair.send(line.substr(line.size() / 2));
    }() && [&]() -> asio::awaitable<void> { whole = co_await next_line(reader, std::chrono::milliseconds(0)); }());
    seen.lines.push_back(whole);
}

TEST(LineReaderMemoryTest, APartialLineKeepsItsBufferThroughAQuietSpell) {
    const std::string line = std::string(50'000, 'p') + "\n";
    SocketPair pair;
    pair.send(line.substr(0, line.size() / 2));
    LineReader reader(std::move(pair.server));
    reader.stream().non_blocking(true);
    Observed seen;
    pair.run(take_split_line(reader, pair, line, seen));

    EXPECT_GT(seen.capacities[0], kReadBufferBytes);
    EXPECT_EQ(seen.lines, std::vector<std::string>{line});
}

}  // namespace
}  // namespace quillfern::protocol_negotiation
