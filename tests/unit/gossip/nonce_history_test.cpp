// The nonce history against a plain model: the last `capacity` nonces are held, older
// ones forgotten, also when many share a slot's neighbourhood or a hash.
#include <deque>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "nonce_history.hpp"
#include "quillfern/gossip_store.hpp"

namespace quillfern::gossip::detail {
namespace {

struct HashCase {
    const char* name;
    std::uint64_t (*hash)(std::uint64_t n);  // of the n-th nonce
};

class NonceHistoryModel : public ::testing::TestWithParam<HashCase> {
protected:
    // Adds 2000 nonces, checking after each that exactly the last `capacity` are held.
    void check_against_model(std::size_t capacity, std::string (*text)(std::uint64_t n)) {
        NonceHistory history(capacity);
        std::deque<std::uint64_t> model;
        std::mt19937_64 random(7);
        for (std::uint64_t n = 0; n < 2000; ++n) {
            history.add(text(n), GetParam().hash(n));
            model.push_back(n);
            if (model.size() > capacity) model.pop_front();
            ASSERT_EQ(history.size(), model.size());
            // Every held nonce is found, and a sample of forgotten and unseen ones is not.
            for (std::uint64_t held : model) ASSERT_TRUE(history.contains(text(held), GetParam().hash(held))) << n;
            const std::uint64_t probe = random() % (n + 40);
            const bool held = probe <= n && probe + model.size() > n;
            ASSERT_EQ(history.contains(text(probe), GetParam().hash(probe)), held) << n << " " << probe;
        }
    }
};

TEST_P(NonceHistoryModel, HoldsExactlyTheLastCapacityNonces) {
    check_against_model(16, [](std::uint64_t n) { return "nonce-" + std::to_string(n); });
}

// Texts longer than a record holds live in blocks of their own; a text that is a prefix
// of another, or differs only in its last byte, is another nonce.
TEST_P(NonceHistoryModel, HoldsLongNoncesLikeShortOnes) {
    check_against_model(9, [](std::uint64_t n) {
        const std::string number = std::to_string(n);
        switch (n % 4) {
            case 0: return number;
            case 1: return std::string(NonceHistory::kInlineBytes, 'x') + number;
            case 2: return std::string(NonceHistory::kInlineBytes - number.size(), 'y') + number;
            default: return std::string(300, 'z') + number;
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Hashes, NonceHistoryModel,
    ::testing::Values(HashCase{"Spread",
                               [](std::uint64_t n) { return NonceHistory::hash("nonce-" + std::to_string(n)); }},
                      // Long runs that wrap around the end of the table.
                      HashCase{"NeighbouringHomes", [](std::uint64_t n) { return std::uint64_t{30} + n % 5; }},
                      HashCase{"OneHash", [](std::uint64_t) { return std::uint64_t{12345}; }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillfern::gossip::detail
