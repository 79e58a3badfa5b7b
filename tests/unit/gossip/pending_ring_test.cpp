// The pending ring against a plain model: copies dropped from the middle, sender by sender,
// leave the others in queue order, also across the ring's growth and packing.
#include <algorithm>
#include <deque>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "entry_block.hpp"
#include "pending_ring.hpp"

namespace quillfern::gossip::detail {
namespace {

PendingCopy copy_numbered(std::size_t n) {
    return PendingCopy(EntryBlock::make({.key = std::to_string(n), .payload = "1", .ttl = 2}));
}

std::vector<std::string> keys_of(std::vector<PendingCopy> copies) {
    std::vector<std::string> keys;
    for (const PendingCopy& copy : copies) keys.push_back(copy.block().key());
    return keys;
}

struct RingCase {
    const char* name;
    std::uint32_t senders;
    int drop_percent;   // of the steps that drop the oldest copy of a sender holding one
    std::size_t steps;  // between two takes
};

class PendingRingModel : public ::testing::TestWithParam<RingCase> {};

TEST_P(PendingRingModel, DropsEachSendersOldestAndTakesTheRestInQueueOrder) {
    const RingCase& c = GetParam();
    PendingRing ring;
    std::deque<std::pair<std::size_t, std::uint32_t>> model;  // number, sender
    std::mt19937_64 random(11);
    std::size_t next = 0;
    for (int round = 0; round < 3; ++round) {
        for (std::size_t step = 0; step < c.steps; ++step) {
            const auto sender = static_cast<std::uint32_t>(random() % c.senders);
            const bool held =
                std::any_of(model.begin(), model.end(), [&](const auto& m) { return m.second == sender; });
            if (held && static_cast<int>(random() % 100) < c.drop_percent) {
                const auto oldest =
                    std::find_if(model.begin(), model.end(), [&](const auto& m) { return m.second == sender; });
                ASSERT_EQ(ring.drop_oldest(sender).block().key(), std::to_string(oldest->first)) << step;
                model.erase(oldest);
            } else if (model.size() < kPendingCapacity) {
                ring.push_back(copy_numbered(next), sender);
                model.emplace_back(next++, sender);
            }
            ASSERT_EQ(ring.size(), model.size());
        }
        std::vector<std::string> expected;
        for (const auto& m : model) expected.push_back(std::to_string(m.first));
        ASSERT_EQ(keys_of(ring.take_all()), expected) << round;
        model.clear();
        EXPECT_TRUE(ring.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, PendingRingModel,
                         ::testing::Values(RingCase{"OneSenderDropsItsOldest", 1, 30, 3000},
                                           RingCase{"FewSendersMostlyPushing", 3, 20, 5000},
                                           RingCase{"ManySendersDroppingHalf", 40, 50, 5000},
                                           // Far more places dropped than held: packed many times.
                                           RingCase{"TwoSendersChurning", 2, 49, 20000}),
                         [](const auto& info) { return std::string(info.param.name); });

// One copy held at the head while another sender churns at the bound: the places its drops
// leave behind fill the ring again and again, and are closed where they stand.
TEST(PendingRing, ACopyHeldAtTheHeadLeavesTheChurnBehindItInOrder) {
    PendingRing ring;
    ring.push_back(copy_numbered(0), 0);
    std::size_t next = 1;
    while (ring.size() < kPendingCapacity) ring.push_back(copy_numbered(next++), 1);
    const std::size_t first_kept = next;
    for (std::size_t step = 0; step < 3 * kPendingCapacity; ++step) {
        ASSERT_EQ(ring.drop_oldest(1).block().key(), std::to_string(next - kPendingCapacity + 1)) << step;
        ring.push_back(copy_numbered(next++), 1);
    }
    const std::vector<std::string> keys = keys_of(ring.take_all());
    ASSERT_EQ(keys.size(), kPendingCapacity);
    EXPECT_EQ(keys.front(), "0");
    EXPECT_EQ(keys[1], std::to_string(next - kPendingCapacity + 1));
    EXPECT_EQ(keys.back(), std::to_string(next - 1));
    EXPECT_GT(next - kPendingCapacity + 1, first_kept);
}

}  // namespace
}  // namespace quillfern::gossip::detail
