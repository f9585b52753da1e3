#include "app/ControllerState.hpp"

#include <algorithm>

namespace kelvarin::triggerTesting
{

std::size_t ControllerState::registeredAPISessions() const
{
    return static_cast<std::size_t>(std::count_if(apiSessions.begin(), apiSessions.end(),
                                                  [](auto const &s) { return s.registered; }));
}

std::string ControllerState::unreadiness() const
{
    std::string missing;
    if (!validatorConnected)
        missing = "validator not connected";
    if (registeredAPISessions() == 0)
        missing += (missing.empty() ? "" : ", ") + std::string("no API session registered");
    return missing;
}

std::string ControllerState::statusLine() const
{
    return "devices online: " + std::to_string(devicesOnline) +
           ", validator: " + (validatorConnected ? "up" : "down") +
           ", API sessions: " + std::to_string(registeredAPISessions()) + " of " +
           std::to_string(apiSessions.size()) + " registered";
}

} // namespace kelvarin::triggerTesting
