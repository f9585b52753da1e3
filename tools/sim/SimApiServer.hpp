#pragma once

#include "sim/EventRecord.hpp"
#include "sim/SimMessages.hpp"
#include "sim/WebSocketServer.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/uuid/random_generator.hpp>
#include <boost/uuid/uuid.hpp>

#include <chrono>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// A simulated API server: it lets controllers connect, issues "execute" test requests for a
// list of units at a steady rate and reports every result it receives.
class SimApiServer
{
public:
    struct Settings
    {
        double rate = 1.0; // test requests per second, to every registered controller; 0: none
        std::vector<std::uint64_t> units; // the units tested, in turn
        std::string task = "ping";
        std::uint64_t actionId = 1;
        // Asks "isOnline" first and sends the test only when the answer is true.
        bool onlyOnline = false;
        EventRecordPtr record; // none: no event record
    };

    struct Stats
    {
        std::uint64_t controllersRegistered = 0;
        std::uint64_t executesSent = 0;
        std::uint64_t onlineQueries = 0;
        std::uint64_t offlineAnswers = 0;
        std::uint64_t resultsReceived = 0;   // every result message, whoever asked for the test
        std::uint64_t ownResults = 0;        // results for tests this server sent
        std::uint64_t testsAnswered = 0;     // own tests with at least one result
        std::uint64_t errorsUnreachable = 0; // own tests answered with an error
        std::uint64_t errorsOther = 0;
        std::uint64_t malformed = 0;
        std::uint64_t disconnections = 0;
    };

    using Report = std::function<void(std::string const &)>;

    SimApiServer(boost::asio::io_context &io, boost::asio::ip::tcp::endpoint const &endpoint,
                 Settings settings, Report report);
    SimApiServer(SimApiServer const &) = delete;
    SimApiServer &operator=(SimApiServer const &) = delete;

    // Begins issuing test requests.
    void start();
    void stop();

    boost::asio::ip::tcp::endpoint localEndpoint() const { return server.localEndpoint(); }
    Stats const &stats() const { return counts; }

private:
    void onOpen(WebSocketServer::ConnectionId connection, std::string const &host);
    void onMessage(WebSocketServer::ConnectionId connection, std::string const &text);
    void onClose(WebSocketServer::ConnectionId connection, boost::system::error_code const &ec);
    void scheduleTick();
    void issueTest(WebSocketServer::ConnectionId connection);
    void sendExecute(WebSocketServer::ConnectionId connection, std::uint64_t unitId);
    std::string label(WebSocketServer::ConnectionId connection) const;
    void record(EventRecord::Event event, WebSocketServer::ConnectionId connection) const;
    void recordResult(WebSocketServer::ConnectionId connection,
                      ControllerMessage const &message) const;

    Settings settings;
    Report report;
    WebSocketServer server;
    boost::asio::steady_timer timer;
    boost::uuids::random_generator generateId;
    std::set<WebSocketServer::ConnectionId> registered;
    std::set<boost::uuids::uuid> ownTests;
    std::set<boost::uuids::uuid> answeredTests;
    std::size_t nextUnit = 0;
    bool stopped = false;
    Stats counts;
};

} // namespace kelvarin::triggerTesting::sim
