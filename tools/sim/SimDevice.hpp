#pragma once

#include "sim/EventRecord.hpp"
#include "sim/Misbehaviour.hpp"
#include "sim/WebSocketClient.hpp"
#include "status/EtherAddr.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/uuid.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting::sim
{

// One simulated measurement device: it connects to a controller, registers with its unit id
// and MAC and answers every run message with its results, unless told to misbehave. A device
// that cannot connect tries again; once connected, it ends with its connection.
class SimDevice : public std::enable_shared_from_this<SimDevice>
{
public:
    struct Settings
    {
        std::uint64_t unitId = 0;
        EtherAddr mac;
        boost::asio::ip::tcp::endpoint controller;
        unsigned resultsPerRun = 1; // the last one carries the last-result flag
        Misbehaviour misbehaviour;
        std::chrono::milliseconds retryDelay{1000};
        EventRecordPtr record; // none: no event record
    };

    // Counts shared by the devices of a fleet.
    struct Stats
    {
        std::uint64_t connected = 0;
        std::uint64_t connectFailures = 0;
        std::uint64_t admitted = 0;
        std::uint64_t refused = 0;
        std::uint64_t runsReceived = 0;
        std::uint64_t resultsSent = 0;
        std::uint64_t dropped = 0;       // connections closed on purpose
        std::uint64_t silentRuns = 0;    // runs left unanswered on purpose
        std::uint64_t malformedSent = 0; // malformed answers sent on purpose
        std::uint64_t oversizedSent = 0; // answers above the controller's limit, on purpose
        std::uint64_t protocolErrors = 0;
        std::uint64_t disconnected = 0; // connections that ended while the device ran
    };

    using Report = std::function<void(std::string const &)>;

    SimDevice(boost::asio::io_context &io, Settings settings, std::shared_ptr<Stats> stats,
              Report report);

    void start();
    // Ends the device: an idle connection is closed with a close handshake, a busy one by
    // closing its socket. Safe to call more than once.
    void stop();
    bool finished() const { return done; }

private:
    void connect();
    void onOpen(boost::system::error_code const &ec);
    void onMessage(std::string_view message);
    void onClose(boost::system::error_code const &ec);
    void onRun(std::string_view message);
    void misbehave(boost::uuids::uuid const &requestId);
    void sendResult(std::string const &test, std::string message);
    void record(EventRecord::Event event) const;
    void say(std::string const &text) const;

    boost::asio::io_context &io;
    Settings settings;
    std::shared_ptr<Stats> stats;
    Report report;
    std::shared_ptr<WebSocketClient> link;
    boost::asio::steady_timer retryTimer;
    bool validated = false;
    bool stopped = false;
    bool reportedFailure = false;
    bool done = false;
    std::uint64_t runsSeen = 0;
};

} // namespace kelvarin::triggerTesting::sim
