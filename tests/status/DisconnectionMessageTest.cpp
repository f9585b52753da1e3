#include "status/DisconnectionMessage.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;

std::chrono::system_clock::time_point at(std::chrono::nanoseconds sinceEpoch)
{
    return std::chrono::system_clock::time_point{
        std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceEpoch)};
}

TEST(DisconnectionMessageTest, ReasonUtcTimeWithoutFractionAndUnitId)
{
    EXPECT_EQ(prepareDisconnectionMessage(7, timeout, at(59s + 999999999ns)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"timeout\","
              "\"dtime_utc\":\"1970-01-01T00:00:59\",\"unit_id\":7}");
    // 2024-03-01T12:34:56Z, the day after a leap day.
    EXPECT_EQ(prepareDisconnectionMessage(std::numeric_limits<unsigned long>::max(), clean,
                                          at(1709296496s + 500ms)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"clean\","
              "\"dtime_utc\":\"2024-03-01T12:34:56\",\"unit_id\":18446744073709551615}");
    // Any reason but clean is a timeout.
    EXPECT_EQ(prepareDisconnectionMessage(1, static_cast<disconnection_reason>(5), at(0s)),
              prepareDisconnectionMessage(1, timeout, at(0s)));
}

} // namespace
} // namespace kelvarin::triggerTesting
