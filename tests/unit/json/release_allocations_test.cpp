// Taking a value apart must not need memory: when memory has run out, an allocation inside
// the JSON library's destructor ends the process. Counted with a replaced operator new.
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "quillfern/json.hpp"

namespace {
thread_local std::size_t allocations = 0;
}  // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    ++allocations;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
// Every form of delete pairs with the forms of new above (all malloc), also for the rest
// of this test binary.
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }

namespace quillfern::json {
namespace {

// Allocations made while `value` is destroyed.
std::size_t allocations_to_destroy(Value value, bool released) {
    if (released) release(value);
    const std::size_t before = allocations;
    { Value doomed = std::move(value); }
    return allocations - before;
}

TEST(ReleaseAllocationsTest, AReleasedValueIsDestroyedWithoutAllocating) {
    auto value = parse(R"([{"a":[1,2,{"b":[[],{}]}]},[{"c":"a string too long to live inline"}],3])");
    ASSERT_TRUE(value.has_value());
    EXPECT_GT(allocations_to_destroy(*value, false), 0u);  // what would fail when memory is gone
    EXPECT_EQ(allocations_to_destroy(*value, true), 0u);
}

}  // namespace
}  // namespace quillfern::json
