// The memory limit of one read value, and values released so that destroying them
// borrows nothing.
#include <string>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace quillfern::json {
namespace {

// [{},{},…] of `count` objects.
std::string empty_objects(std::size_t count) {
    std::string text = "[{}";
    for (std::size_t i = 1; i < count; ++i) text += ",{}";
    return text + "]";
}

Value read_with_limit(std::string_view text, std::size_t limit) {
    Reader reader(text, limit);
    Value value = reader.read_value(0);
    EXPECT_FALSE(reader.failed());
    return value;
}

TEST(ReaderLimitTest, AValueOverTheLimitThrowsTooLargeBeforeItIsBuilt) {
    constexpr std::size_t kLimit = 1024 * 1024;
    // Ten thousand objects stay well inside; a hundred thousand take about 10 MB.
    EXPECT_EQ(read_with_limit(empty_objects(10'000), kLimit).size(), 10'000u);
    const struct {
        const char* what;
        std::string text;
    } cases[] = {
        {"many objects", empty_objects(100'000)},
        {"objects in members", "{\"a\":" + empty_objects(100'000) + "}"},
        {"a long string", "[\"" + std::string(2 * kLimit, 's') + "\"]"},
        {"many members",
         [] {
             std::string text = "{";
             for (int i = 0; i < 50'000; ++i) text += (i ? ",\"" : "\"") + std::to_string(i) + "\":0";
             return text + "}";
         }()},
    };
    for (const auto& c : cases) {
        Reader reader(c.text, kLimit);
        EXPECT_THROW(static_cast<void>(reader.read_value(0)), TooLarge) << c.what;
    }
    // parse() turns it into an error like any lack of memory; the default limit is generous.
    EXPECT_TRUE(parse(empty_objects(100'000)).has_value());
}

TEST(ReaderLimitTest, ReleaseEmptiesEveryLevelAndKeepsScalars) {
    std::string deep;  // 126 levels: the deepest the reader accepts but one
    for (int i = 0; i < 63; ++i) deep += "[{\"k\":";
    deep += "\"leaf string longer than inline\"";
    for (int i = 0; i < 63; ++i) deep += "}]";
    auto value = parse(deep);
    ASSERT_TRUE(value.has_value()) << value.error().to_string();
    release(*value);
    EXPECT_EQ(*value, Value::array());

    Value scalar = "text";
    release(scalar);
    EXPECT_EQ(scalar, "text");
}

}  // namespace
}  // namespace quillfern::json
