// An entry in one allocation, and the size of its JSON form counted without writing it.
#include <array>
#include <bit>
#include <cstring>
#include <limits>
#include <new>

#include "entry_block.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip::detail {
namespace {

constexpr std::array<std::uint64_t, 20> kPowersOfTen = [] {
    std::array<std::uint64_t, 20> powers{};
    std::uint64_t power = 1;
    for (std::uint64_t& p : powers) {
        p = power;
        power *= 10;
    }
    return powers;
}();

// Without dividing: the bit width gives the count of digits or one more (1233 / 4096 is
// just above log10(2)).
std::size_t decimal_digits(std::uint64_t n) noexcept {
    const auto guess = static_cast<std::size_t>((std::bit_width(n | 1) * 1233) >> 12);
    return guess + ((n | 1) >= kPowersOfTen[guess] ? 1 : 0);
}

// The fixed bytes of append_entry_json's text: braces, member names, colons, commas and
// the topic's quotes.
constexpr std::size_t kEntryJsonFrame = [] {
    std::size_t size = 0;
    for (std::string_view piece :
         {R"({"created_at_epoch":)", R"(,"expires_at_epoch":)", R"(,"key":)", R"(,"nonce":)", R"(,"origin_gate":)",
          R"(,"payload":)", R"(,"topic":")", R"(","ttl":)", R"(,"version":)", "}"}) {
        size += piece.size();
    }
    return size;
}();

}  // namespace

// The allocator of a block's shared record: one allocation holds the reference counts,
// the block and its texts. It carries one pointer, so that the record stays small.
template <class T>
struct EntryBlock::Allocator {
    using value_type = T;

    explicit Allocator(Trailing* request) noexcept : request(request) {}
    template <class U>
    Allocator(const Allocator<U>& other) noexcept : request(other.request) {}

    T* allocate(std::size_t n) {
        const std::size_t record = n * sizeof(T);
        char* memory = static_cast<char*>(::operator new(record + request->size));
        request->at = memory + record;
        return reinterpret_cast<T*>(memory);
    }
    void deallocate(T* p, std::size_t) noexcept { ::operator delete(static_cast<void*>(p)); }

    template <class U>
    bool operator==(const Allocator<U>&) const noexcept {
        return true;
    }

    Trailing* request;
};

std::shared_ptr<const EntryBlock> EntryBlock::make(Parts parts) {
    if (parts.nonce.size() > std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
    Trailing request{parts.nonce.size() + parts.payload.size()};
    return std::allocate_shared<EntryBlock>(Allocator<EntryBlock>(&request), Made{}, std::move(parts), request);
}

EntryBlock::EntryBlock(Made, Parts&& parts, const Trailing& text) noexcept
    : key_(std::move(parts.key)),
      origin_(std::move(parts.origin)),
      payload_(std::string_view(text.at + parts.nonce.size(), parts.payload.size()), this),
      version_(parts.version),
      created_at_epoch_(parts.created_at_epoch),
      expires_at_epoch_(parts.expires_at_epoch),
      nonce_size_(static_cast<std::uint32_t>(parts.nonce.size())),
      topic_(parts.topic),
      ttl_(parts.ttl) {
    if (!parts.nonce.empty()) std::memcpy(text.at, parts.nonce.data(), parts.nonce.size());
    if (!parts.payload.empty()) std::memcpy(text.at + parts.nonce.size(), parts.payload.data(), parts.payload.size());
}

std::size_t EntryBlock::byte_size() const noexcept {
    return sizeof(GossipEntry) + key_.size() + payload_.text().size() + text_of(origin_).size() + nonce_size_;
}

std::size_t EntryBlock::json_size(std::uint8_t ttl) const noexcept {
    std::uint16_t frame = json_frame_.load(std::memory_order_relaxed);
    std::size_t counted = frame;
    if (frame == 0 || frame == kUncounted) {
        counted = kEntryJsonFrame + decimal_digits(created_at_epoch_) + decimal_digits(expires_at_epoch_) +
                  json::written_string_size(key_) + json::written_string_size(nonce()) +
                  json::written_string_size(text_of(origin_)) + payload_.text().size() + topic_name(topic_).size() +
                  decimal_digits(version_);
        // Every thread counts the same: whichever stores it first, the value is right.
        if (frame == 0)
            json_frame_.store(counted < kUncounted ? static_cast<std::uint16_t>(counted) : kUncounted,
                              std::memory_order_relaxed);
    }
    return counted + decimal_digits(ttl);
}

bool EntryBlock::holds(const GossipEntry& entry) const noexcept {
    return entry.payload.get() == &payload_ && entry.key.get() == &key_ && entry.topic == topic_ && entry.ttl == ttl_ &&
           entry.version == version_ && entry.created_at_epoch == created_at_epoch_ &&
           entry.expires_at_epoch == expires_at_epoch_ && entry.nonce == nonce() &&
           (entry.origin_gate == origin_ || text_of(entry.origin_gate) == text_of(origin_));
}

}  // namespace quillfern::gossip::detail

namespace quillfern::gossip {

std::uint8_t PendingCopy::ttl() const noexcept { return static_cast<std::uint8_t>(block_->ttl() - 1); }

PendingCopy::PendingCopy(std::shared_ptr<const detail::EntryBlock> block) noexcept
    : block_(std::move(block)), json_size_(block_->json_size(ttl())) {}

}  // namespace quillfern::gossip
