#include "status/ValidateMessage.hpp"

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting
{
namespace
{

ValidateMessage::IdType key(std::uint64_t unitId, EtherAddr::Octets octets)
{
    return {unitId, EtherAddr{octets}};
}

TEST(ValidateMessageKeyTest, UnitIdDecidesFirstThenTheOctetsAsUnsigned)
{
    EXPECT_TRUE(key(1, {0xff, 0, 0, 0, 0, 0}) < key(2, {0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(key(0x7fffffffffffffff, {}) < key(0x8000000000000000, {}));
    EXPECT_FALSE(key(5, {0x80, 0, 0, 0, 0, 0}) < key(5, {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_FALSE(key(9, {1, 2, 3, 4, 5, 6}) < key(9, {1, 2, 3, 4, 5, 6}));
}

} // namespace
} // namespace kelvarin::triggerTesting
