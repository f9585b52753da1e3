#pragma once

#include "sim/EventRecord.hpp"
#include "sim/ValidationPolicy.hpp"
#include "sim/WebSocketServer.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <string>

namespace kelvarin::triggerTesting::sim
{

// A simulated validator (the best API server): it answers every "validate" request by its
// policy and reports the disconnections the controller tells it of.
class SimValidator
{
public:
    struct Stats
    {
        std::uint64_t controllersRegistered = 0;
        std::uint64_t validateRequests = 0;
        std::uint64_t admitted = 0;
        std::uint64_t refused = 0;
        std::uint64_t disconnectionsClean = 0;
        std::uint64_t disconnectionsTimeout = 0;
        std::uint64_t malformed = 0;
        std::uint64_t disconnections = 0; // controller connections that ended
    };

    using Report = std::function<void(std::string const &)>;

    SimValidator(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &endpoint,
                 ValidationPolicy policy, Report report, EventRecordPtr record = {});
    SimValidator(SimValidator const &) = delete;
    SimValidator &operator=(SimValidator const &) = delete;

    void stop() { server.stop(); }

    boost::asio::ip::tcp::endpoint localEndpoint() const { return server.localEndpoint(); }
    Stats const &stats() const { return counts; }

private:
    void onMessage(WebSocketServer::ConnectionId connection, std::string const &text);
    std::string label(WebSocketServer::ConnectionId connection) const;
    void record(EventRecord::Event event, WebSocketServer::ConnectionId connection) const;

    ValidationPolicy policy;
    Report report;
    EventRecordPtr eventRecord;
    WebSocketServer server;
    Stats counts;
};

} // namespace kelvarin::triggerTesting::sim
