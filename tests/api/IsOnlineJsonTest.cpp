#include "api/IsOnlineJson.hpp"

#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::errorOf;
using testSupport::nestedArrays;

TEST(IsOnlineJsonTest, ReadsTheUnitIdAndRefusesOtherTypes)
{
    EXPECT_EQ(IsOnlineJson(R"({"type":"isOnline","data":{"x":[],"unit_id":42}})").unitId, 42U);
    EXPECT_EQ(errorOf<IsOnlineJson>(R"({"type":"isonline","data":{"unit_id":42}})"), "Bad request");
    EXPECT_EQ(errorOf<IsOnlineJson>(R"({"type":"isOnline","data":{"unit_id":"42"}})"),
              R"(There is no valid "unit_id")");
    EXPECT_EQ(errorOf<IsOnlineJson>(nestedArrays(1000000).substr(0, 1000000)), "Invalid JSON");
}

} // namespace
} // namespace kelvarin::triggerTesting
