// One entry in one allocation: what the stored entry, its forward copies and every entry
// handed out share.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "quillfern/gossip_entry.hpp"

namespace quillfern::gossip::detail {

// One entry in one allocation: its numbers, its key, its origin, and the texts of its
// nonce and payload right behind the record. Immutable once made: the stored entry, its
// forward copies and every GossipEntry taken from them share it.
class EntryBlock {
    struct Made {};  // only make() builds blocks
    // The room for the texts behind the block, and where it begins once allocated.
    struct Trailing {
        std::size_t size = 0;
        char* at = nullptr;
    };
    template <class T>
    struct Allocator;

public:
    struct Parts {
        Topic topic = Topic::Varne;
        std::string key{};
        SharedText origin{};
        std::string_view nonce{};
        std::string_view payload{};  // canonical text
        std::uint8_t ttl = 0;
        std::uint64_t version = 0;
        std::uint64_t created_at_epoch = 0;
        std::uint64_t expires_at_epoch = 0;
    };
    // The block of these parts; the nonce and payload texts are copied into it.
    static std::shared_ptr<const EntryBlock> make(Parts parts);

    Topic topic() const noexcept { return topic_; }
    const std::string& key() const noexcept { return key_; }
    const SharedText& origin() const noexcept { return origin_; }
    std::string_view nonce() const noexcept { return {payload_.text().data() - nonce_size_, nonce_size_}; }
    const Payload& payload() const noexcept { return payload_; }
    std::uint8_t ttl() const noexcept { return ttl_; }
    std::uint64_t version() const noexcept { return version_; }
    std::uint64_t created_at_epoch() const noexcept { return created_at_epoch_; }
    std::uint64_t expires_at_epoch() const noexcept { return expires_at_epoch_; }

    // As GossipEntry::byte_size counts the entry it holds.
    std::size_t byte_size() const noexcept;
    // The length of append_entry_json's text for the entry with `ttl` hops left. All but
    // the digits of the hops is counted once and kept.
    std::size_t json_size(std::uint8_t ttl) const noexcept;
    // Whether `entry` is this block's entry, field for field.
    bool holds(const GossipEntry& entry) const noexcept;

    EntryBlock(Made, Parts&& parts, const Trailing& text) noexcept;

private:
    std::string key_;
    SharedText origin_;
    Payload payload_;  // its text follows the nonce's, behind the block
    std::uint64_t version_;
    std::uint64_t created_at_epoch_;
    std::uint64_t expires_at_epoch_;
    std::uint32_t nonce_size_;
    Topic topic_;
    std::uint8_t ttl_;
    // json_size without the hops' digits once counted (0 before; kUncounted when too large).
    mutable std::atomic<std::uint16_t> json_frame_{0};
    static constexpr std::uint16_t kUncounted = 0xFFFF;
};

}  // namespace quillfern::gossip::detail
