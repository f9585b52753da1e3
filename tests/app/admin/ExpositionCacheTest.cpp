#include "app/admin/ExpositionCache.hpp"

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting
{
namespace
{

TEST(ExpositionCacheTest, ScrapesWithinAPeriodShareOneTextAndALaterOneGetsAFreshOne)
{
    auto now = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    int builds = 0;
    ExpositionCache cache([&] { return "# build " + std::to_string(++builds) + "\n"; },
                          std::chrono::seconds(1), [&] { return now; });
    auto const first = cache.get();
    now += std::chrono::milliseconds(999);
    auto const second = cache.get();
    EXPECT_EQ(first, second);
    EXPECT_EQ(*second, "# build 1\n");
    now += std::chrono::milliseconds(1);
    auto const third = cache.get();
    EXPECT_EQ(*third, "# build 2\n");
    // An answer still being written keeps the text it was given.
    EXPECT_EQ(*first, "# build 1\n");
    EXPECT_EQ(builds, 2);
}

} // namespace
} // namespace kelvarin::triggerTesting
