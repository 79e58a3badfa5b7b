// Shared pieces of the dispatch tests: the started store, the coroutine runner, the temp
// directory and environment guards of tests/support, a JSON parse that fails the test, and
// what the plain-form tests compare: a line read in full, and a store's contents.
#pragma once

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "env_guard.hpp"
#include "fake_clock.hpp"
#include "quillfern/gossip_store.hpp"
#include "quillfern/json.hpp"
#include "run_task.hpp"
#include "started_store.hpp"
#include "take_pending.hpp"
#include "temp_dir.hpp"

namespace quillfern::dispatch::testing {

using ::quillfern::testing::EnvGuard;
using ::quillfern::testing::FakeClock;
using ::quillfern::testing::kNow;
using ::quillfern::testing::make_started_store;
using ::quillfern::testing::run_task;
using ::quillfern::testing::TempDir;

inline json::Value parse_json(std::string_view text) {
    auto value = json::parse(text);
    EXPECT_TRUE(value.has_value()) << text;
    return value ? std::move(*value) : json::Value();
}

// The same line with a member of its own in front, which the full reading drops and the
// plain one declines: the line is then read in full.
inline std::string read_in_full(std::string line) {
    const std::size_t open = line.find_first_not_of(" \t\r\n");
    if (open == std::string::npos || line[open] != '{') return line;
    return line.insert(open + 1, R"("note":0,)");
}

// What a store holds, in a fixed order: entries of every topic, stats, peers, pending copies.
inline std::string contents(gossip::GossipStore& store) {
    std::vector<std::string> entries;
    for (gossip::Topic topic : gossip::kTopics) {
        for (const gossip::GossipEntry& e : store.query(topic, std::nullopt)) {
            entries.push_back(json::to_string(e.to_json()));
        }
    }
    std::sort(entries.begin(), entries.end());
    std::string text;
    for (const std::string& e : entries) text += e + "\n";
    text += json::to_string(store.stats().to_json()) + "\n";
    text += json::to_string(gossip::peers_to_json(store.peer_stats())) + "\n";
    std::string pending;
    gossip::append_entries_json(pending, ::quillfern::testing::take_pending(store));
    return text + pending;
}

}  // namespace quillfern::dispatch::testing
