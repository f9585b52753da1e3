#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// What the controller holds at one moment, taken from the live objects for the metrics, the
// readiness probe and the service manager's status line.
struct ControllerState
{
    struct APISessionFigures
    {
        boost::asio::ip::tcp::endpoint endpoint;
        // Tells a session from a later one at the same endpoint, whose counts start again.
        std::weak_ptr<void const> identity;
        bool registered = false;
        std::size_t queuedBytes = 0;
        std::uint64_t droppedMessages = 0;
    };

    std::size_t deviceConnections = 0;
    std::size_t devicesOnline = 0;
    // Validator answers told to devices, since the start.
    std::uint64_t admissionsAccepted = 0;
    std::uint64_t admissionsRefused = 0;
    std::size_t validationsPending = 0;
    // Validation requests waiting to be written to the validator.
    std::size_t validationsQueued = 0;
    // Validation requests not queued for the validator because its queue was full.
    std::uint64_t validationsDropped = 0;
    std::size_t testsRunning = 0;
    // Device results dropped because their request was running for another unit.
    std::uint64_t foreignResultsDropped = 0;
    // Bytes of partly received device messages, and the devices given up because the next
    // bytes of one would have passed the bound on them.
    std::size_t receiveHeldBytes = 0;
    std::uint64_t receiveBudgetExhausted = 0;
    bool validatorConnected = false;
    std::size_t reportsBacklog = 0;
    std::uint64_t reportsDropped = 0;
    std::vector<APISessionFigures> apiSessions;

    std::size_t registeredAPISessions() const;
    // Empty when the controller can do its work: the validator is connected and at least one
    // API server is there to send tests. Otherwise what is missing, in one line.
    std::string unreadiness() const;
    // The short summary shown by "systemctl status".
    std::string statusLine() const;
};

} // namespace kelvarin::triggerTesting
