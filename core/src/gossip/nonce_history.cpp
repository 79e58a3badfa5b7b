// The nonce history: fixed records in a ring, found through the slot table.
#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "nonce_history.hpp"
#include "slot_table.hpp"

namespace quillfern::gossip::detail {
namespace {

constexpr std::size_t kMaxCapacity = 32768;  // at most half of 2^16 slots in use

}  // namespace

NonceHistory::NonceHistory(std::size_t capacity)
    // At most half full, so every run ends.
    : capacity_(capacity),
      mask_(std::bit_ceil(std::max<std::size_t>(2 * capacity, 4)) - 1),
      slots_(new std::uint32_t[mask_ + 1]()),
      records_(new Record[std::max<std::size_t>(capacity, 1)]) {
    if (capacity == 0 || capacity > kMaxCapacity) throw std::invalid_argument("nonce history capacity");
}

NonceHistory::~NonceHistory() {
    while (size_ > 0) forget_oldest();
}

const char* NonceHistory::text_of(const Record& record) noexcept {
    if (record.size <= kInlineBytes) return record.text;
    const char* own = nullptr;
    std::memcpy(&own, record.text, sizeof own);
    return own;
}

bool NonceHistory::contains(std::string_view nonce, std::uint64_t hash) const noexcept {
    for (std::size_t i = home(hash);; i = (i + 1) & mask_) {
        const std::uint32_t slot = slots_[i];
        if (slot == 0) return false;
        if (!slots::may_hold(slot, hash)) continue;
        const Record& record = records_[slots::place(slot)];
        if (record.size == nonce.size() && std::memcmp(text_of(record), nonce.data(), nonce.size()) == 0) {
            return true;
        }
    }
}

std::unique_ptr<char[]> NonceHistory::own_text(std::string_view nonce) {
    if (nonce.size() <= kInlineBytes) return nullptr;
    std::unique_ptr<char[]> own(new char[nonce.size()]);
    std::memcpy(own.get(), nonce.data(), nonce.size());
    return own;
}

void NonceHistory::add(std::string_view nonce, std::uint64_t hash, std::unique_ptr<char[]> own) {
    if (nonce.size() > kInlineBytes && !own) own = own_text(nonce);
    if (size_ == capacity_) forget_oldest();
    std::size_t place = head_ + size_;
    if (place >= capacity_) place -= capacity_;
    Record& record = records_[place];
    record.hash_bits = static_cast<std::uint16_t>(hash);
    record.size = static_cast<std::uint32_t>(nonce.size());
    if (own) {
        char* text = own.release();
        std::memcpy(record.text, &text, sizeof text);
    } else if (!nonce.empty()) {
        std::memcpy(record.text, nonce.data(), nonce.size());
    }
    slots::insert(slots_.get(), mask_, hash, place);
    ++size_;
}

void NonceHistory::forget_oldest() noexcept {
    const Record& oldest = records_[head_];
    slots::erase(slots_.get(), mask_, slots::find_place(slots_.get(), mask_, oldest.hash_bits, head_));
    if (oldest.size > kInlineBytes) delete[] text_of(oldest);
    if (++head_ == capacity_) head_ = 0;
    --size_;
    ++forgotten_;
}

}  // namespace quillfern::gossip::detail
