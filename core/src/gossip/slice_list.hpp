// A list of at most N values kept in place, made and destroyed one by one: a slice's
// released blocks and forward copies cost what it holds, not N of each.
#pragma once

#include <cassert>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace quillfern::gossip::detail {

template <class T, std::size_t N>
class SliceList {
public:
    SliceList() noexcept = default;
    SliceList(const SliceList&) = delete;
    SliceList& operator=(const SliceList&) = delete;
    ~SliceList() { std::destroy(begin(), end()); }

    // Room must be left (size() < N).
    void push_back(T value) noexcept(std::is_nothrow_move_constructible_v<T>) {
        assert(size_ < N);
        std::construct_at(begin() + size_, std::move(value));
        ++size_;
    }
    std::size_t size() const noexcept { return size_; }
    T* begin() noexcept { return std::launder(reinterpret_cast<T*>(storage_)); }
    T* end() noexcept { return begin() + size_; }
    std::span<T> items() noexcept { return {begin(), size_}; }

private:
    alignas(T) std::byte storage_[sizeof(T) * N];
    std::size_t size_ = 0;
};

}  // namespace quillfern::gossip::detail
