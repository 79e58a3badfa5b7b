// The nonces of the last accepted entries, in a fixed ring under a slot table.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string_view>

namespace quillfern::gossip::detail {

// The nonces of the last `capacity` (at most 32,768) accepted entries, oldest forgotten
// first. The texts sit in a ring of fixed records in arrival order (a longer text in a
// block of its own); an open-addressing table of 4-byte slots finds them, each slot the
// low 16 bits of the nonce's hash (its home and a tag) and the record's place. Nothing is
// allocated once it is made but for long texts.
class NonceHistory {
public:
    explicit NonceHistory(std::size_t capacity);
    ~NonceHistory();
    NonceHistory(const NonceHistory&) = delete;
    NonceHistory& operator=(const NonceHistory&) = delete;

    static std::uint64_t hash(std::string_view nonce) noexcept { return std::hash<std::string_view>{}(nonce); }
    bool contains(std::string_view nonce, std::uint64_t hash) const noexcept;

    // Nonces longer than this keep their text in a block of their own.
    static constexpr std::size_t kInlineBytes = 50;
    // That block, made before a lock is taken: null for a nonce that fits its record.
    static std::unique_ptr<char[]> own_text(std::string_view nonce);
    // Adds a nonce that is not held yet; beyond the capacity the oldest is forgotten.
    // `own` is own_text(nonce), or null to have it made here. Throws only when it makes it.
    void add(std::string_view nonce, std::uint64_t hash, std::unique_ptr<char[]> own = nullptr);
    std::size_t size() const noexcept { return size_; }
    // How many nonces were forgotten so far: while it stays, every nonce held stays held.
    std::uint64_t forgotten() const noexcept { return forgotten_; }

private:
    struct Record {  // left uninitialized until used
        std::uint32_t size;
        std::uint16_t hash_bits;  // the low 16 bits of its hash: where its slot's run begins
        char text[kInlineBytes];  // the text, or the pointer to its own block
    };
    static const char* text_of(const Record& record) noexcept;
    std::size_t home(std::uint64_t hash) const noexcept { return static_cast<std::size_t>(hash) & mask_; }
    void forget_oldest() noexcept;

    std::size_t capacity_;
    std::size_t mask_;                        // at most 16 bits
    std::unique_ptr<std::uint32_t[]> slots_;  // hash bits << 16 | (record + 1); 0 is free
    std::unique_ptr<Record[]> records_;       // a ring, oldest at head_
    std::size_t head_ = 0;
    std::size_t size_ = 0;
    std::uint64_t forgotten_ = 0;
};

}  // namespace quillfern::gossip::detail
