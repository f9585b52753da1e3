#include "app/ControllerState.hpp"

#include <gtest/gtest.h>

#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

TEST(ControllerStateTest, ReadyNeedsTheValidatorAndOneRegisteredAPISession)
{
    auto const withSessions = [](bool validator, std::vector<bool> const &registered)
    {
        ControllerState state;
        state.validatorConnected = validator;
        for (bool r : registered)
            state.apiSessions.push_back({{}, r});
        return state;
    };
    EXPECT_EQ(withSessions(true, {false, true}).unreadiness(), "");
    // A session still connecting cannot take a test's results.
    EXPECT_EQ(withSessions(false, {false}).unreadiness(),
              "validator not connected, no API session registered");
    EXPECT_EQ(withSessions(true, {true, false, true}).statusLine(),
              "devices online: 0, validator: up, API sessions: 2 of 3 registered");
}

// What a reload hands over comes back total by total; names of other versions are passed by.
TEST(ControllerStateTest, TotalsGoOverByName)
{
    ControllerState::Totals totals;
    totals.admissionsRefused = 3;
    totals.repliesUnknown = 18446744073709551615UL;
    totals.metricsConnectionsEvicted = 1;
    auto named = totals.named();
    EXPECT_EQ(named.size(), 14U);
    named.emplace_back("somethingNewer", 9);
    auto const back = ControllerState::Totals::fromNamed(named);
    EXPECT_EQ(back.admissionsRefused, 3U);
    EXPECT_EQ(back.repliesUnknown, 18446744073709551615UL);
    EXPECT_EQ(back.metricsConnectionsEvicted, 1U);
    EXPECT_EQ(back.named(), totals.named());
    EXPECT_EQ(ControllerState::Totals::fromNamed({{"testsReceived", 4}}).named()[5],
              (std::pair<std::string, std::uint64_t>("testsReceived", 4)));
}

} // namespace
} // namespace kelvarin::triggerTesting
