#pragma once

#include "status/EtherAddr.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <optional>
#include <vector>

namespace kelvarin::triggerTesting
{

// One device connection that has registered, as operators look it up: taken from the session
// when asked, kept nowhere.
struct DeviceConnectionView
{
    enum class State
    {
        validating, // the validator was asked and has not answered
        admitted,
        refused,
    };

    unsigned long unitId = 0;
    State state = State::validating;
    EtherAddr mac;
    // None when the socket no longer tells.
    std::optional<boost::asio::ip::tcp::endpoint> peer;
    std::chrono::system_clock::time_point connectedAt;
    std::chrono::system_clock::time_point registeredAt;
    std::optional<std::chrono::system_clock::time_point> admittedAt;
    // Requests given to the connection and not finished; filled in by the API side.
    std::size_t testsRunning = 0;
    // Bytes of messages waiting to be written to the device.
    std::size_t queuedBytes = 0;
    // The session, as the identity the API side knows its runs by; never to be used.
    void const *session = nullptr;
};

// Which registered connections a listing asks for, in the order of their unit ids.
struct DevicePageQuery
{
    static constexpr std::size_t defaultLimit = 100;
    static constexpr std::size_t maxLimit = 1000;

    std::optional<DeviceConnectionView::State> state;
    // Only units above this one.
    std::optional<unsigned long> after;
    std::size_t limit = defaultLimit;
};

// One page of a listing: whole units, so that the next page can begin after the last of them.
struct DevicePage
{
    std::vector<DeviceConnectionView> connections;
    // The unit to list the next page after; none on the last page.
    std::optional<unsigned long> next;
};

} // namespace kelvarin::triggerTesting
