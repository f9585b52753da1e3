#pragma once

#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// Where the device side listens.
struct DeviceOptions
{
    bool useSystemdSockets = false;          // sockets were handed over by socket activation
    std::vector<std::string> listenServices; // used only without socket activation
};

} // namespace kelvarin::triggerTesting
