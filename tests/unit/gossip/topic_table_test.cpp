// A topic's table against a plain map: random inserts, replacements and removals up to
// its capacity (long runs of neighbouring homes included) leave exactly the model's keys
// findable, each at a place that holds it.
#include <map>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/gossip_store.hpp"
#include "topic_table.hpp"

namespace quillfern::gossip::detail {
namespace {

std::shared_ptr<const EntryBlock> block_of(const std::string& key, std::uint64_t version) {
    return EntryBlock::make({.key = key, .version = version});
}

TEST(TopicTableModel, FindsExactlyTheKeysItHolds) {
    TopicTable table;
    std::map<std::string, std::uint64_t> model;  // key -> version
    std::mt19937_64 random(11);
    auto key_of = [](std::uint64_t n) { return "key-" + std::to_string(n); };
    constexpr std::uint64_t kKeys = 3 * kTopicCapacity;

    for (std::uint64_t step = 0; step < 40'000; ++step) {
        const std::string key = key_of(random() % kKeys);
        const std::uint64_t hash = TopicTable::hash(key);
        const std::size_t place = table.find(key, hash);
        ASSERT_EQ(place != TopicTable::npos, model.contains(key)) << step << " " << key;
        if (place != TopicTable::npos) {
            ASSERT_EQ(table.at(place)->key(), key);
            ASSERT_EQ(table.at(place)->version(), model[key]);
            // Most of the time as the table fills up: removal; else a newer version.
            if (random() % 3 != 0 || model.size() == kTopicCapacity) {
                ASSERT_EQ(table.erase(place)->key(), key);
                model.erase(key);
            } else {
                ASSERT_EQ(table.replace(place, block_of(key, step))->version(), model[key]);
                model[key] = step;
            }
        } else if (model.size() < kTopicCapacity) {
            table.insert(block_of(key, step), hash);
            model[key] = step;
        }
        ASSERT_EQ(table.size(), model.size());
        if (step % 4096 == 0) {
            std::map<std::string, std::uint64_t> held;
            for (const auto& block : table.blocks()) held[block->key()] = block->version();
            ASSERT_EQ(held, model) << step;
        }
    }
    // Fill it to the brim, then empty it from the front.
    for (std::uint64_t n = 0; model.size() < kTopicCapacity; ++n) {
        const std::string key = key_of(n);
        if (model.contains(key)) continue;
        table.insert(block_of(key, 0), TopicTable::hash(key));
        model[key] = 0;
    }
    ASSERT_EQ(table.size(), kTopicCapacity);
    for (const auto& [key, version] : model) {
        const std::size_t place = table.find(key, TopicTable::hash(key));
        ASSERT_NE(place, TopicTable::npos) << key;
        ASSERT_EQ(table.erase(place)->key(), key);
    }
    EXPECT_EQ(table.size(), 0u);
    EXPECT_EQ(table.find("key-0", TopicTable::hash("key-0")), TopicTable::npos);
}

}  // namespace
}  // namespace quillfern::gossip::detail
