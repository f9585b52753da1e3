#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// One device connection as a reloading controller hands it to its next program: the descriptor
// stays open across the exec, and the session goes on from these.
struct DeviceHandOver
{
    int descriptor = -1;
    bool ipv6 = false;
    std::uint64_t unitId = 0;
    std::uint32_t state = 0;
    std::string pending;             // bytes read from the device and not yet handled
    std::vector<std::string> unsent; // messages for the device, oldest first
};

} // namespace kelvarin::triggerTesting
