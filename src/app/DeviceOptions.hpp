#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// Where the device side listens.
struct DeviceOptions
{
    bool useSystemdSockets = false;          // sockets were handed over by socket activation
    std::vector<std::string> listenServices; // used only without socket activation
    // Bytes of partly received messages over all devices; 0 bounds nothing.
    std::size_t receiveBudget = std::size_t{256} << 20;
};

} // namespace kelvarin::triggerTesting
