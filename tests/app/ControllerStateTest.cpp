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
            state.apiSessions.push_back({{}, {}, r});
        return state;
    };
    EXPECT_EQ(withSessions(true, {false, true}).unreadiness(), "");
    // A session still connecting cannot take a test's results.
    EXPECT_EQ(withSessions(false, {false}).unreadiness(),
              "validator not connected, no API session registered");
    EXPECT_EQ(withSessions(true, {true, false, true}).statusLine(),
              "devices online: 0, validator: up, API sessions: 2 of 3 registered");
}

} // namespace
} // namespace kelvarin::triggerTesting
