// The frame reader: frames out of a byte stream in any slicing, the length limit, the end
// of the stream inside and between frames, and a buffer that grows only with the bytes.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "quillfern/tarpc_service.hpp"
#include "wire_bytes.hpp"

namespace quillfern::tarpc_service {
namespace {

using testing::Bytes;
using testing::hex;
using testing::operator+;
using testing::to_hex;

Bytes frame(const Bytes& payload) {
    Bytes out;
    EXPECT_TRUE(append_frame(out, payload).has_value());
    return out;
}

// Every payload the reader hands out now, in order; fails the test on an error.
std::vector<Bytes> drain(FrameReader& reader) {
    std::vector<Bytes> payloads;
    for (;;) {
        auto next = reader.next();
        EXPECT_TRUE(next.has_value()) << next.error().detail;
        if (!next || !*next) return payloads;
        payloads.emplace_back((*next)->begin(), (*next)->end());
    }
}

// Feeds `stream` as socket reads of the given sizes (repeated), through prepare and
// commit, never filling more than the room offered; collects every payload.
std::vector<Bytes> read_in_slices(const Bytes& stream, const std::vector<std::size_t>& sizes) {
    FrameReader reader;
    std::vector<Bytes> payloads;
    std::size_t at = 0;
    for (std::size_t i = 0; at < stream.size(); ++i) {
        const std::span<std::uint8_t> room = reader.prepare();
        EXPECT_FALSE(room.empty());
        const std::size_t n = std::min({room.size(), sizes[i % sizes.size()], stream.size() - at});
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, room.begin());
        reader.commit(n);
        at += n;
        for (Bytes& payload : drain(reader)) payloads.push_back(std::move(payload));
    }
    EXPECT_TRUE(reader.finish().has_value());
    return payloads;
}

TEST(FrameReaderTest, FramesComeOutWholeAndInOrderHoweverTheStreamIsSliced) {
    std::vector<Bytes> sent;
    for (std::size_t size : {0, 1, 3, 4, 250, 5'000, 70'000, 300'000, 2}) {
        Bytes payload(size);
        for (std::size_t i = 0; i < size; ++i) payload[i] = static_cast<std::uint8_t>(i * 7 + size);
        sent.push_back(std::move(payload));
    }
    Bytes stream;
    for (const Bytes& payload : sent) stream = stream + frame(payload);

    const std::vector<std::vector<std::size_t>> slicings = {
        {1}, {2, 3}, {4}, {7, 1, 13}, {4096}, {65'536}, {1'000'000},
    };
    for (const auto& sizes : slicings) {
        const std::vector<Bytes> got = read_in_slices(stream, sizes);
        ASSERT_EQ(got.size(), sent.size()) << "first slice " << sizes[0];
        for (std::size_t i = 0; i < sent.size(); ++i) EXPECT_EQ(got[i], sent[i]) << "frame " << i;
    }
}

TEST(FrameReaderTest, AFrameIsHandedOutOnlyOnceItsLastByteArrived) {
    const Bytes payload = hex("01 02 03");
    const Bytes stream = frame(payload);
    FrameReader reader;
    for (std::size_t i = 0; i + 1 < stream.size(); ++i) {
        reader.append(std::span(stream).subspan(i, 1));
        auto next = reader.next();
        ASSERT_TRUE(next.has_value());
        EXPECT_FALSE(next->has_value()) << "after " << i + 1 << " bytes";
    }
    reader.append(std::span(stream).last(1));
    EXPECT_EQ(drain(reader), std::vector<Bytes>{payload});
}

TEST(FrameReaderTest, TwoFramesInOneReadAreBothHandedOutBeforeTheNextRead) {
    FrameReader reader;
    reader.append(frame(hex("0a")) + frame(hex("0b 0c")) + hex("00 00"));
    EXPECT_EQ(drain(reader), (std::vector<Bytes>{hex("0a"), hex("0b 0c")}));
    EXPECT_EQ(reader.buffered(), 2u);
}

TEST(FrameReaderTest, EightMebibytesAreAcceptedOneByteMoreFailsAtOnce) {
    FrameReader at_limit;
    at_limit.append(hex("00 80 00 00"));
    auto waiting = at_limit.next();
    ASSERT_TRUE(waiting.has_value());
    EXPECT_FALSE(waiting->has_value());
    EXPECT_TRUE(at_limit.finish().has_value());  // header forgotten, nothing of the payload buffered

    const WireError too_big{WireErrorKind::FrameTooBig, "frame size too big"};
    for (const std::string_view header : {"00 80 00 01", "ff ff ff ff"}) {
        FrameReader reader;
        reader.append(hex(header));
        auto next = reader.next();
        ASSERT_FALSE(next.has_value()) << header;
        EXPECT_EQ(next.error(), too_big) << header;
        // The error stays: nothing after it is read.
        reader.append(hex("00 00 00 00"));
        auto again = reader.next();
        ASSERT_FALSE(again.has_value()) << header;
        EXPECT_EQ(again.error(), too_big) << header;
    }
}

TEST(FrameReaderTest, AnEmptyFrameIsAFrameWhosePayloadDoesNotDecode) {
    FrameReader reader;
    reader.append(hex("00 00 00 00"));
    const std::vector<Bytes> payloads = drain(reader);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_TRUE(payloads[0].empty());
    auto message = decode_client_message(payloads[0], MonotonicClock::now());
    ASSERT_FALSE(message.has_value());
    EXPECT_EQ(message.error().detail, "io error: unexpected end of file");
}

TEST(FrameReaderTest, EndOfInputFailsOnlyWithBytesOfAnUnfinishedFrameBuffered) {
    struct Case {
        std::string_view name;
        std::string_view stream;
        bool clean;
    };
    const Case cases[] = {
        {"nothing at all", "", true},
        {"after a complete frame", "00 00 00 01 aa", true},
        {"after a header whose payload has not begun", "00 00 00 05", true},
        {"after a frame and the next header", "00 00 00 01 aa 00 00 00 02", true},
        {"after two header bytes", "00 00", false},
        {"after a frame and one header byte", "00 00 00 01 aa 00", false},
        {"after the header and half the payload", "00 00 00 04 aa bb", false},
    };
    for (const Case& c : cases) {
        FrameReader reader;
        reader.append(hex(c.stream));
        drain(reader);
        auto end = reader.finish();
        EXPECT_EQ(end.has_value(), c.clean) << c.name;
        if (!end) {
            EXPECT_EQ(end.error(), (WireError{WireErrorKind::BytesRemaining, "bytes remaining on stream"}));
        }
    }
}

TEST(FrameReaderTest, AMovedReaderCarriesOnWhereTheOldOneStopped) {
    FrameReader first;
    first.append(hex("00 00 00 03 0a 0b"));
    ASSERT_TRUE(first.next().has_value());
    FrameReader second = std::move(first);
    second.append(hex("0c"));
    EXPECT_EQ(drain(second), std::vector<Bytes>{hex("0a 0b 0c")});
    // The old one is as new: empty and ready for bytes.
    EXPECT_EQ(first.buffered(), 0u);  // NOLINT(bugprone-use-after-move)
    first.append(hex("00 00 00 01 0d"));
    EXPECT_EQ(drain(first), std::vector<Bytes>{hex("0d")});
}

TEST(FrameReaderTest, TheBufferGrowsWithTheBytesThatArriveNotWithTheHeader) {
    FrameReader reader;
    reader.append(hex("00 80 00 00"));
    ASSERT_TRUE(reader.next().has_value());
    EXPECT_LE(reader.prepare().size(), 8u * 1024);
    EXPECT_LE(reader.capacity(), 8u * 1024);

    // A quarter of the frame in: the buffer holds at most about twice that.
    const Bytes quarter(kMaxFrameLength / 4, 0x5a);
    reader.append(quarter);
    EXPECT_LE(reader.capacity(), 2 * quarter.size() + 8192);
    for (int i = 0; i < 3; ++i) reader.append(quarter);
    const std::vector<Bytes> payloads = drain(reader);
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].size(), kMaxFrameLength);

    // Once handed out, the large buffer is given back.
    reader.prepare();
    EXPECT_LE(reader.capacity(), 64u * 1024);
}

TEST(FrameReaderTest, ALargeFrameInSmallReadsRegrowsTheBufferOnlyAFewTimes) {
    // A megabyte in reads of 1000 bytes: the buffer doubles, it is not regrown per read.
    const Bytes stream = frame(Bytes(1 << 20, 0x33));
    FrameReader reader;
    std::size_t regrowths = 0;
    std::size_t capacity = 0;
    std::vector<Bytes> payloads;
    for (std::size_t at = 0; at < stream.size();) {
        const std::span<std::uint8_t> room = reader.prepare();
        if (reader.capacity() != capacity) {
            ++regrowths;
            capacity = reader.capacity();
        }
        const std::size_t n = std::min({room.size(), std::size_t{1000}, stream.size() - at});
        std::copy_n(stream.begin() + static_cast<std::ptrdiff_t>(at), n, room.begin());
        reader.commit(n);
        at += n;
        for (Bytes& payload : drain(reader)) payloads.push_back(std::move(payload));
    }
    ASSERT_EQ(payloads.size(), 1u);
    EXPECT_EQ(payloads[0].size(), std::size_t{1} << 20);
    EXPECT_LE(regrowths, 12u);
    EXPECT_LE(capacity, std::size_t{3} << 20);
}

}  // namespace
}  // namespace quillfern::tarpc_service
