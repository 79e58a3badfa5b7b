// Hashed maps and sets of texts, looked up by a string_view without a string of their own.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace quillfern::gossip::detail {

struct TextHash {
    using is_transparent = void;
    // Deliberately not noexcept: the standard library then keeps each element's hash in
    // its node, so that a collision or an erase compares hashes instead of hashing and
    // comparing texts again.
    std::size_t operator()(std::string_view text) const { return std::hash<std::string_view>{}(text); }
};
template <class T>
using TextMap = std::unordered_map<std::string, T, TextHash, std::equal_to<>>;
using TextSet = std::unordered_set<std::string, TextHash, std::equal_to<>>;

}  // namespace quillfern::gossip::detail
