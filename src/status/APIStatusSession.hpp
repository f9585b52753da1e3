#pragma once

#include "status/EtherAddr.hpp"
#include "status/ValidateRequestsManager.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// The waits of the validator connection; tests shorten them.
struct StatusTimings
{
    std::chrono::steady_clock::duration retryDelay = std::chrono::seconds(1);
    std::chrono::steady_clock::duration watchPeriod = std::chrono::seconds(60);
    std::chrono::steady_clock::duration webSocketTimeout = std::chrono::seconds(60);
};

// The one connection to the best API server, the validator: registration, validation requests
// and answers, disconnection reports. It reconnects for as long as it lives.
class APIStatusSession
{
public:
    using Timings = StatusTimings;
    using Endpoints = std::vector<boost::asio::ip::tcp::endpoint>;
    using ResolveHandler = std::function<void(boost::system::error_code, Endpoints)>;
    // Resolves the server's host name and service to IPv4 endpoints; completes asynchronously.
    using ResolveFn = std::function<void(ResolveHandler)>;

    static constexpr std::size_t reportBacklogLimit = 100000;

    APIStatusSession(boost::asio::io_context& io, std::string host, std::string service,
                     Timings timings = {}, ResolveFn resolveFn = {});
    APIStatusSession(APIStatusSession const&) = delete;
    APIStatusSession& operator=(APIStatusSession const&) = delete;

    void start();
    void validate(unsigned long const& unitId, EtherAddr const& mac,
                  std::function<void(bool)> callback, bool resend);
    void onInput(boost::system::error_code const& ec);
    // Queues the text if the connection is open, drops it otherwise.
    void enqueueMessage(std::string& text);
    // Sends a disconnection report now, or keeps it until the next registration.
    void reportDisconnection(std::string report);
    bool isOpen() const { return ws.is_open(); }
    // Devices whose validation was asked and not yet answered.
    std::size_t pendingValidations() const { return validateRequests.pending().size(); }
    // Disconnection reports kept until the validator is back.
    std::size_t reportBacklogSize() const { return reportBacklog.size(); }

private:
    struct Outgoing
    {
        std::string text;
        bool isReport = false;
    };

    void startNetworkingLogic();
    void onResolved(boost::system::error_code const& ec, Endpoints const& endpoints);
    void continueNetworkingLogic(boost::asio::ip::tcp::endpoint const& target);
    void onConnected(boost::system::error_code const& ec);
    void onHandshake(boost::system::error_code const& ec);
    void onRegistered(boost::system::error_code const& ec);
    void enterInputLoop();
    void readInput();
    void reconnect();
    void waitAndRetry();
    void handleMessage(std::string const& text);

    void enqueue(Outgoing outgoing);
    void keepReport(std::string report);
    void reclaimQueuedReports();
    void sendKeptReports();
    void startWriting();
    void writeLoop(boost::asio::yield_context yield);
    void watchLoop(boost::asio::yield_context yield);
    void checkEndpoint(boost::asio::yield_context yield);
    Endpoints resolve(boost::asio::yield_context yield);

    boost::beast::websocket::stream<boost::asio::ip::tcp::socket> ws;
    std::string host;
    std::string service;
    std::deque<Outgoing> writeQueue;
    boost::asio::steady_timer refreshTimer;
    boost::asio::ip::tcp::endpoint endpoint;
    boost::asio::ip::tcp::resolver resolver;
    ValidateRequestsManager validateRequests;
    boost::asio::steady_timer retryTimer;
    boost::beast::flat_buffer readBuffer;

    Timings timings;
    ResolveFn resolveFn;
    // Reports not yet written, oldest first, kept across connections.
    std::deque<std::string> reportBacklog;
    // Counts connection cycles, so a writer of an earlier connection knows it is done.
    std::uint64_t generation = 0;
    bool registered = false;
    std::chrono::steady_clock::time_point registeredAt{};
    bool writerRunning = false;
    std::string registrationText;
};

} // namespace kelvarin::triggerTesting
