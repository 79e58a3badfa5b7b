#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/line_reader.hpp"
#include "socket_pair.hpp"

namespace quillfern::protocol_negotiation {
namespace {

using testing::SocketPair;

// What one read gave: the line, "<end>", "<none>" (no complete line, or the deadline
// passed) or "<kind: text>".
std::string describe(const Expected<std::optional<std::string_view>, LineError>& read) {
    if (!read) {
        const char* kind = read.error().kind == LineError::Kind::Io            ? "io"
                           : read.error().kind == LineError::Kind::InvalidUtf8 ? "utf8"
                                                                               : "too long";
        return "<" + std::string(kind) + ": " + read.error().error.message() + ">";
    }
    if (!*read) return "<none>";
    if ((*read)->empty()) return "<end>";
    return std::string(**read);
}

asio::awaitable<void> read_lines(LineReader& reader, std::size_t count, std::vector<std::string>& out) {
    for (std::size_t i = 0; i < count; ++i) out.push_back(describe(co_await reader.read_line()));
}

// Sends `input`, ends the client's stream and reads `count` results.
std::vector<std::string> lines_of(std::string_view input, std::size_t count, std::size_t max_line = kMaxLineBytes) {
    SocketPair pair;
    pair.send(input);
    pair.end_input();
    LineReader reader(std::move(pair.server), max_line);
    std::vector<std::string> out;
    pair.run(read_lines(reader, count, out));
    return out;
}

class LineReaderTest : public ::testing::Test {
protected:
    SocketPair pair_;
};

TEST_F(LineReaderTest, SplitsAtNewlinesAndEndsWithWhatIsLeft) {
    EXPECT_EQ(lines_of("a\nb\r\n\nlast", 5), (std::vector<std::string>{"a\n", "b\r\n", "\n", "last", "<end>"}));
}

TEST_F(LineReaderTest, EndOfStreamRightAfterANewlineGivesTheEnd) {
    EXPECT_EQ(lines_of("only\n", 3), (std::vector<std::string>{"only\n", "<end>", "<end>"}));
}

TEST_F(LineReaderTest, InvalidUtf8ConsumesItsLineOnly) {
    EXPECT_EQ(lines_of("\xFF\xFE\nok\n\xC3(", 4),
              (std::vector<std::string>{"<utf8: stream did not contain valid UTF-8>", "ok\n",
                                        "<utf8: stream did not contain valid UTF-8>", "<end>"}));
}

// Every place of a byte in a line, around the blocks the newline is looked for in: a
// lone continuation byte or a cut sequence is refused, a whole sequence is kept.
TEST_F(LineReaderTest, UnicodeIsCheckedWhereverItSitsInTheLine) {
    for (std::size_t length = 1; length <= 40; ++length) {
        for (std::size_t at = 0; at < length; ++at) {
            std::string bad(length, 'a');
            bad[at] = '\x80';
            std::string cut = std::string(length, 'c') + "\xE2\x82";
            cut.insert(at, "xy");
            std::string good(length, 'g');
            good.insert(at, "\xE2\x82\xAC");
            EXPECT_EQ(lines_of(bad + "\nok\n" + good + "\n" + cut + "\n", 4),
                      (std::vector<std::string>{"<utf8: stream did not contain valid UTF-8>", "ok\n", good + "\n",
                                                "<utf8: stream did not contain valid UTF-8>"}))
                << length << " " << at;
        }
    }
}

TEST_F(LineReaderTest, ManyLinesAcrossSeveralBufferFillsArriveWhole) {
    std::string input;
    std::vector<std::string> expected;
    for (int i = 0; input.size() <= 4 * kReadBufferBytes; ++i) {
        std::string line = std::to_string(i) + std::string(static_cast<std::size_t>(i % 37), 'x') + "\n";
        input += line;
        expected.push_back(line);
    }
    expected.push_back("<end>");
    ASSERT_GT(input.size(), 4 * kReadBufferBytes);
    EXPECT_EQ(lines_of(input, expected.size()), expected);
}

TEST_F(LineReaderTest, ALineLongerThanTheBufferIsReadWhole) {
    const std::string line = std::string(3 * kReadBufferBytes + 5, 'y') + "\n";
    EXPECT_EQ(lines_of(line + "next\n", 3), (std::vector<std::string>{line, "next\n", "<end>"}));
}

TEST_F(LineReaderTest, LineLimitCountsTheTextWithoutItsNewline) {
    // 20000 needs the buffer grown past 16384, up to exactly the limit and its newline.
    constexpr std::size_t kLimit = 20000;
    const std::string at_limit(kLimit, 'a');
    {
        SocketPair pair;
        pair.send(at_limit + "\n" + at_limit);
        pair.end_input();
        LineReader reader(std::move(pair.server), kLimit);
        std::vector<std::string> out;
        pair.run(read_lines(reader, 3, out));
        EXPECT_EQ(out, (std::vector<std::string>{at_limit + "\n", at_limit, "<end>"}));
        EXPECT_EQ(reader.capacity(), kLimit + 1);
    }
    EXPECT_EQ(lines_of(at_limit + "a\n", 1, kLimit), (std::vector<std::string>{"<too long: line too long>"}));
}

TEST_F(LineReaderTest, LimitAppliesToTheLastLineAndToLinesInsideTheFirstBuffer) {
    EXPECT_EQ(lines_of("12345", 1, 4), (std::vector<std::string>{"<too long: line too long>"}));
    EXPECT_EQ(lines_of("1234\n12345\n", 2, 4), (std::vector<std::string>{"1234\n", "<too long: line too long>"}));
}

TEST_F(LineReaderTest, ResetConnectionIsAnIoError) {
    pair_.send("partial");
    pair_.reset_by_client();
    LineReader reader(std::move(pair_.server));
    std::vector<std::string> out;
    pair_.run(read_lines(reader, 1, out));
    EXPECT_EQ(out, (std::vector<std::string>{"<io: Connection reset by peer (os error 104)>"}));
}

asio::awaitable<void> fill_and_take(LineReader& reader, SocketPair& pair, std::vector<std::string>& out) {
    pair.send("ab\xC3");
    co_await reader.fill();
    out.push_back(describe(reader.take_buffered_line()));
    pair.send("\xA9\nd");  // the rest of "é" and of the line, then the start of the next
    co_await reader.fill();
    out.push_back(describe(reader.take_buffered_line()));
    out.push_back(describe(reader.take_buffered_line()));
    out.emplace_back(reader.buffered());
}

TEST_F(LineReaderTest, TakeBufferedLineNeverReadsAndJoinsLinesAcrossReads) {
    LineReader reader(std::move(pair_.server));
    std::vector<std::string> out;
    pair_.run(fill_and_take(reader, pair_, out));
    EXPECT_EQ(out, (std::vector<std::string>{"<none>", "ab\xC3\xA9\n", "<none>", "d"}));
}

asio::awaitable<void> fill_twice(LineReader& reader, std::vector<std::string>& out) {
    for (int i = 0; i < 2; ++i) {
        auto got = co_await reader.fill();
        out.push_back(std::to_string(got ? *got : 0) + (reader.drained() ? " drained" : " more"));
    }
}

// A read that fills the whole buffer may have left bytes in the socket; one that leaves
// room took everything there was.
TEST_F(LineReaderTest, ADrainedSocketIsOneWhoseLastReadLeftRoom) {
    pair_.send(std::string(kReadBufferBytes + 100, 'z'));
    LineReader reader(std::move(pair_.server));
    EXPECT_FALSE(reader.drained());
    std::vector<std::string> out;
    pair_.run(fill_twice(reader, out));
    EXPECT_EQ(out, (std::vector<std::string>{std::to_string(kReadBufferBytes) + " more", "100 drained"}));
}

asio::awaitable<void> ensure_counts(LineReader& reader, std::vector<std::string>& out) {
    for (std::size_t count : {3u, 5u}) {
        auto got = co_await reader.ensure(count);
        out.push_back(!got ? got.error().message() : *got ? "yes" : "no");
    }
    out.emplace_back(reader.buffered());
}

TEST_F(LineReaderTest, EnsureTellsWhetherTheStreamHeldEnoughBytes) {
    pair_.send("abc");
    pair_.end_input();
    LineReader reader(std::move(pair_.server));
    std::vector<std::string> out;
    pair_.run(ensure_counts(reader, out));
    EXPECT_EQ(out, (std::vector<std::string>{"yes", "no", "abc"}));
}

asio::awaitable<void> read_with_deadline(LineReader& reader, SocketPair& pair, std::vector<std::string>& out) {
    const auto soon = LineReader::Clock::now() + std::chrono::milliseconds(1);
    out.push_back(describe(co_await reader.read_line(soon)));
    out.emplace_back(reader.buffered());
    pair.send("rest\n");
    out.push_back(describe(co_await reader.read_line()));
}

TEST_F(LineReaderTest, DeadlineKeepsThePartialLineBuffered) {
    pair_.send("{\"id\":");
    LineReader reader(std::move(pair_.server));
    std::vector<std::string> out;
    pair_.run(read_with_deadline(reader, pair_, out));
    EXPECT_EQ(out, (std::vector<std::string>{"<none>", "{\"id\":", "{\"id\":rest\n"}));
}

}  // namespace
}  // namespace quillfern::protocol_negotiation
