// Length-delimited frames: the incremental reader and the frame writer.
#include <algorithm>
#include <cstring>
#include <utility>

#include "quillfern/tarpc_service.hpp"

namespace quillfern::tarpc_service {

namespace {

// Room offered for one read when no large frame is arriving.
constexpr std::size_t kMinRoom = 4096;
// A buffer larger than this is given back once everything in it was handed out.
constexpr std::size_t kKeepCapacity = 64 * 1024;

WireError frame_too_big() { return {WireErrorKind::FrameTooBig, "frame size too big"}; }

}  // namespace

FrameReader& FrameReader::operator=(FrameReader&& other) noexcept {
    if (this == &other) return *this;
    data_ = std::move(other.data_);
    capacity_ = std::exchange(other.capacity_, 0);
    start_ = std::exchange(other.start_, 0);
    end_ = std::exchange(other.end_, 0);
    payload_length_ = std::exchange(other.payload_length_, std::nullopt);
    error_ = std::exchange(other.error_, std::nullopt);
    return *this;
}

void FrameReader::reserve_room(std::size_t room) {
    if (capacity_ - end_ >= room) return;
    const std::size_t unread = end_ - start_;
    if (capacity_ - unread >= room && start_ > 0) {
        std::memmove(data_.get(), data_.get() + start_, unread);
    } else {
        const std::size_t capacity = unread + room;
        std::unique_ptr<std::uint8_t[]> grown(new std::uint8_t[capacity]);
        if (unread != 0) std::memcpy(grown.get(), data_.get() + start_, unread);
        data_ = std::move(grown);
        capacity_ = capacity;
    }
    start_ = 0;
    end_ = unread;
}

std::span<std::uint8_t> FrameReader::prepare() {
    if (start_ == end_) {
        start_ = end_ = 0;
        if (capacity_ > kKeepCapacity) {
            data_.reset();
            capacity_ = 0;
        }
    }
    // The buffer grows only once its free room runs short, and then doubles, but never
    // beyond the frame in progress and one read's room: it grows with the bytes that
    // arrive (to at most twice what is buffered and a little), not with what the header
    // announced, and a large frame takes few regrowths.
    if (capacity_ - end_ < kMinRoom) {
        const std::size_t unread = end_ - start_;
        std::size_t limit = unread + kMinRoom;
        if (payload_length_ && *payload_length_ > unread) limit = *payload_length_ + kMinRoom;
        const std::size_t target = std::max(unread + kMinRoom, std::min(2 * capacity_, limit));
        reserve_room(target - unread);
    }
    return {data_.get() + end_, capacity_ - end_};
}

void FrameReader::commit(std::size_t n) noexcept { end_ += std::min(n, capacity_ - end_); }

void FrameReader::append(std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::span<std::uint8_t> room = prepare();
        const std::size_t n = std::min(room.size(), bytes.size());
        std::memcpy(room.data(), bytes.data(), n);
        commit(n);
        bytes = bytes.subspan(n);
    }
}

Expected<std::optional<std::span<const std::uint8_t>>, WireError> FrameReader::next() {
    if (error_) return unexpected(*error_);
    if (!payload_length_) {
        if (end_ - start_ < kFrameHeaderLength) return std::optional<std::span<const std::uint8_t>>{};
        const std::uint8_t* h = data_.get() + start_;
        const std::uint32_t length = (std::uint32_t{h[0]} << 24) | (std::uint32_t{h[1]} << 16) |
                                     (std::uint32_t{h[2]} << 8) | std::uint32_t{h[3]};
        if (length > kMaxFrameLength) {
            error_ = frame_too_big();
            return unexpected(*error_);
        }
        start_ += kFrameHeaderLength;
        payload_length_ = length;
    }
    const std::size_t length = *payload_length_;
    if (end_ - start_ < length) return std::optional<std::span<const std::uint8_t>>{};
    const std::span<const std::uint8_t> payload(data_.get() + start_, length);
    start_ += length;
    payload_length_.reset();
    return std::optional<std::span<const std::uint8_t>>{payload};
}

Expected<void, WireError> FrameReader::finish() const {
    if (end_ != start_) return unexpected(WireError{WireErrorKind::BytesRemaining, "bytes remaining on stream"});
    return {};
}

Expected<void, WireError> append_frame(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFrameLength) return unexpected(frame_too_big());
    const std::size_t at = out.size();
    out.resize(at + kFrameHeaderLength + payload.size());
    const auto n = static_cast<std::uint32_t>(payload.size());
    std::uint8_t* p = out.data() + at;
    p[0] = static_cast<std::uint8_t>(n >> 24);
    p[1] = static_cast<std::uint8_t>(n >> 16);
    p[2] = static_cast<std::uint8_t>(n >> 8);
    p[3] = static_cast<std::uint8_t>(n);
    if (!payload.empty()) std::memcpy(p + kFrameHeaderLength, payload.data(), payload.size());
    return {};
}

}  // namespace quillfern::tarpc_service
