#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
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
        bool registered = false;
        std::size_t queuedBytes = 0;
        // Since the session began: a new session at the same endpoint counts from zero.
        std::uint64_t droppedMessages = 0;
    };

    // Events counted since the controller started, reloads included: a program goes on from
    // the totals the previous one handed over.
    struct Totals
    {
        // Validator answers told to devices.
        std::uint64_t admissionsAccepted = 0;
        std::uint64_t admissionsRefused = 0;
        // Validation requests not queued for the validator because its queue was full.
        std::uint64_t validationsDropped = 0;
        // Disconnections of admitted devices reported to the validator.
        std::uint64_t disconnectionsClean = 0;
        std::uint64_t disconnectionsTimeout = 0;
        std::uint64_t testsReceived = 0;
        // Result messages built for the API servers, by kind.
        std::uint64_t repliesResult = 0;
        std::uint64_t repliesUnreachable = 0;
        std::uint64_t repliesUnknown = 0;
        // Device results dropped because their request was running for another unit.
        std::uint64_t foreignResultsDropped = 0;
        // Devices given up because the next bytes of one would have passed the bound on
        // partly received messages.
        std::uint64_t receiveBudgetExhausted = 0;
        std::uint64_t reportsDropped = 0;
        // What the process around the controller drops: log lines standard error did not
        // take, metrics clients closed for newer ones.
        std::uint64_t logLinesDropped = 0;
        std::uint64_t metricsConnectionsEvicted = 0;

        using Named = std::vector<std::pair<std::string, std::uint64_t>>;
        // By name, as a reload hands them over. Reading back, names this program does not know
        // are ignored and totals not named start at zero, so that programs of other versions
        // can hand over to each other.
        Named named() const;
        static Totals fromNamed(Named const &named);
    };

    std::chrono::system_clock::time_point startTime;
    std::size_t deviceConnections = 0;
    std::size_t devicesOnline = 0;
    std::size_t validationsPending = 0;
    // Validation requests waiting to be written to the validator.
    std::size_t validationsQueued = 0;
    std::size_t testsRunning = 0;
    // Bytes of partly received device messages.
    std::size_t receiveHeldBytes = 0;
    bool validatorConnected = false;
    // None until the validator's name has resolved.
    std::optional<boost::asio::ip::tcp::endpoint> validatorEndpoint;
    std::size_t reportsBacklog = 0;
    std::vector<APISessionFigures> apiSessions;
    Totals totals;

    std::size_t registeredAPISessions() const;
    // Empty when the controller can do its work: the validator is connected and at least one
    // API server is there to send tests. Otherwise what is missing, in one line.
    std::string unreadiness() const;
    // The short summary shown by "systemctl status".
    std::string statusLine() const;
};

} // namespace kelvarin::triggerTesting
