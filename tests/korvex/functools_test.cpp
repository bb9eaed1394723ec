#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "korvex/functools.hpp"
#include "korvex_test_support.hpp"

using korvex::LruCache;

TEST(LruCache, EvictsTheLeastRecentlyUsedEntry) {
    LruCache<std::string, int> cache(2);
    int computed = 0;
    auto get = [&](const std::string& k) {
        return cache.get_or_compute(k, [&] { return ++computed; });
    };
    EXPECT_EQ(get("a"), 1);
    EXPECT_EQ(get("b"), 2);
    EXPECT_EQ(get("a"), 1);  // a is now the most recent
    EXPECT_EQ(get("c"), 3);  // evicts b
    EXPECT_TRUE(cache.contains("a"));
    EXPECT_FALSE(cache.contains("b"));
    EXPECT_EQ(get("b"), 4);  // recomputed, evicts a
    EXPECT_FALSE(cache.contains("a"));
    EXPECT_EQ(cache.size(), 2u);
    EXPECT_EQ(cache.hits(), 1u);
    EXPECT_EQ(cache.misses(), 4u);
}

TEST(LruCache, AFailedComputationLeavesTheCacheUnchanged) {
    LruCache<int, int> cache(1);
    cache.get_or_compute(1, [] { return 10; });
    EXPECT_THROW(cache.get_or_compute(2, []() -> int { throw std::runtime_error("no"); }),
                 std::runtime_error);
    ASSERT_NE(cache.peek(1), nullptr);
    EXPECT_EQ(*cache.peek(1), 10);
    EXPECT_EQ(cache.size(), 1u);
}

TEST(LruCache, ReturnsTheSameStoredObjectOnAHit) {
    LruCache<int, std::string> cache(4);
    const std::string& first = cache.get_or_compute(7, [] { return std::string("x"); });
    const std::string& second = cache.get_or_compute(7, [] { return std::string("y"); });
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(second, "x");
}

TEST(LruCache, ACapacityOfZeroIsRefused) {
    EXPECT_EQ(korvex::testing::error_of<korvex::ValueError>([] { LruCache<int, int> cache(0); }),
              "LruCache capacity must be at least 1, got 0");
}
