#pragma once

#include "status/EtherAddr.hpp"

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// One device connection as a reloading controller hands it to its next program: the descriptor
// stays open across the exec, and the session goes on from these.
struct DeviceHandOver
{
    // The states a connection can be in, as numbers: awaiting its id, validating, validated.
    static constexpr std::uint32_t lastState = 2;

    int descriptor = -1;
    bool ipv6 = false;
    std::uint64_t unitId = 0;
    std::uint32_t state = 0;
    std::string pending;             // bytes read from the device and not yet handled
    std::vector<std::string> unsent; // messages for the device, oldest first
    // Whether the unit's tests go to this connection, of those admitted with its unit id.
    bool ownsUnit = true;
    // What is left of the time to register, for a connection that has not: a reload gives it
    // no new start.
    std::optional<std::chrono::milliseconds> registrationLeft;
    // How long the device has sent nothing: a reload does not reset its idle deadline either.
    std::chrono::milliseconds silence{0};
    // What operators look the connection up by; records of older programs have none of these,
    // and the next program then counts the connection from its own start.
    EtherAddr mac;
    bool refused = false; // the validator refused it, and it stays connected
    std::optional<std::chrono::system_clock::time_point> connectedAt;
    std::optional<std::chrono::system_clock::time_point> registeredAt;
    std::optional<std::chrono::system_clock::time_point> admittedAt;
};

// A listening socket, kept open across the exec as it is: bound, listening, with its backlog.
struct ListenerHandOver
{
    int descriptor = -1;
    bool ipv6 = false;
};

// What the device side hands over: its listening sockets and its connections.
struct DeviceSideHandOver
{
    std::vector<ListenerHandOver> listeners;
    std::vector<DeviceHandOver> devices;
    // The session of each record, in this program only: the API side and the validator
    // connection name the sessions their runs and askers belong to by these.
    std::vector<void const *> sessions;
};

} // namespace kelvarin::triggerTesting
