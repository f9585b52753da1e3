#include "status/DisconnectionMessage.hpp"

#include <gtest/gtest.h>
#include <limits>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;

Clock::time_point at(std::chrono::nanoseconds sinceEpoch)
{
    return Clock::time_point{std::chrono::duration_cast<Clock::duration>(sinceEpoch)};
}

TEST(DisconnectionMessageTest, TimeoutReportCutsTheFraction)
{
    EXPECT_EQ(prepareDisconnectionMessage(7, timeout, at(59s + 999ms)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"timeout\","
              "\"dtime_utc\":\"1970-01-01T00:00:59\",\"unit_id\":7}");
    EXPECT_EQ(prepareDisconnectionMessage(7, timeout, at(59s + 999999999ns)),
              prepareDisconnectionMessage(7, timeout, at(59s)));
}

TEST(DisconnectionMessageTest, CleanReportWithACalendarDate)
{
    // 2024-03-01T12:34:56Z, the day after a leap day.
    EXPECT_EQ(prepareDisconnectionMessage(42, clean, at(1709296496s + 500ms)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"clean\","
              "\"dtime_utc\":\"2024-03-01T12:34:56\",\"unit_id\":42}");
}

TEST(DisconnectionMessageTest, LargestUnitIdIsWrittenInFull)
{
    EXPECT_EQ(prepareDisconnectionMessage(std::numeric_limits<unsigned long>::max(), clean, at(0s)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"clean\","
              "\"dtime_utc\":\"1970-01-01T00:00:00\",\"unit_id\":18446744073709551615}");
}

TEST(DisconnectionMessageTest, AnyReasonButCleanIsReportedAsTimeout)
{
    auto const message =
        prepareDisconnectionMessage(1, static_cast<disconnection_reason>(5), at(0s));
    EXPECT_NE(message.find("\"reason\":\"timeout\""), std::string::npos) << message;
}

} // namespace
} // namespace kelvarin::triggerTesting
