// The read buffer grows for a long line and goes back to its normal size once that line
// is used up, before the connection waits for more.
#include <string>
#include <vector>

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace quillfern::protocol_negotiation
