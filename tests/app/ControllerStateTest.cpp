#include "app/ControllerState.hpp"

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting::test
{
namespace
{

using boost::asio::ip::make_address;
using boost::asio::ip::tcp;

ControllerState withSessions(bool validator, std::vector<bool> registered)
{
    ControllerState state;
    state.validatorConnected = validator;
    unsigned short port = 10002;
    for (bool r : registered)
        state.apiSessions.push_back({tcp::endpoint(make_address("127.0.0.2"), port++), {}, r});
    return state;
}

TEST(ControllerState, ReadyNeedsTheValidatorAndOneRegisteredAPISession)
{
    EXPECT_EQ(withSessions(true, {false, true}).unreadiness(), "");
    EXPECT_EQ(withSessions(false, {true}).unreadiness(), "validator not connected");
    // A session still connecting cannot take a test's results.
    EXPECT_EQ(withSessions(true, {false}).unreadiness(), "no API session registered");
    EXPECT_EQ(withSessions(false, {}).unreadiness(),
              "validator not connected, no API session registered");
}

TEST(ControllerState, StatusLineCountsDevicesAndSessions)
{
    auto state = withSessions(true, {true, false, true});
    state.devicesOnline = 1234;
    EXPECT_EQ(state.statusLine(),
              "devices online: 1234, validator: up, API sessions: 2 of 3 registered");
    EXPECT_EQ(withSessions(false, {}).statusLine(),
              "devices online: 0, validator: down, API sessions: 0 of 0 registered");
}

} // namespace
} // namespace kelvarin::triggerTesting::test
