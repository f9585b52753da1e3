#include "device/HeapTrimmer.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

TEST(HeapTrimmerTest, TrimsOncePerHalvingSinceThePeak)
{
    std::vector<std::size_t> trims;
    std::size_t count = 0;
    HeapTrimmer trimmer([&] { trims.push_back(count); });
    for (std::size_t n : {0, 1, 100, 51, 50, 26, 25, 40, 21, 20, 1, 0})
        trimmer.noteCount(count = n);
    EXPECT_EQ(trims, (std::vector<std::size_t>{50, 25, 20, 1, 0}));
}

} // namespace
} // namespace kelvarin::triggerTesting
