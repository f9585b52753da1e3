#pragma once

#include "app/admin/MetricsRequestHandler.hpp"
#include "app/admin/MetricsSession.hpp"
#include "common/AcceptBackoff.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace kelvarin::triggerTesting
{

// Accepts the connections of the metrics endpoint, each into a MetricsSession. At most
// `connections` are open at once. A client that comes when all are taken gets the place of the
// session that has waited longest for its request (a probe's request comes with its
// connection, a trickler's never does), so slow clients cannot lock probes out; when every
// session is busy answering, the new client is closed at once.
class MetricsServer : public std::enable_shared_from_this<MetricsServer>
{
public:
    struct Limits
    {
        std::size_t connections = 64;
        MetricsSession::Limits session;
    };

    MetricsServer(boost::asio::ip::tcp::acceptor acceptor, MetricsRequestHandler handler);
    MetricsServer(boost::asio::ip::tcp::acceptor acceptor, MetricsRequestHandler handler,
                  Limits limits);
    MetricsServer(MetricsServer const &) = delete;
    MetricsServer &operator=(MetricsServer const &) = delete;

    void start();
    // Closes the listening socket; sessions still open end on their own.
    void stop();
    // Sessions whose connection is open.
    std::size_t openSessions() const;
    // Connections closed to make room for newer ones, since the start.
    std::uint64_t evictedConnections() const { return evicted; }

private:
    void accept();
    void onAccept(boost::system::error_code const &ec, boost::asio::ip::tcp::socket socket);
    void onSessionEnd();
    // Closes the session that waits longest for its request; false when none waits.
    bool evictOldestWaiting();

    boost::asio::ip::tcp::acceptor acceptor;
    MetricsRequestHandler handler;
    Limits limits;
    AcceptBackoff backoff;
    // The sessions not yet destroyed, in the order they began.
    std::vector<std::weak_ptr<MetricsSession>> open;
    std::uint64_t evicted = 0;
    bool accepting = false; // an accept, or the wait before one, is pending
    bool stopped = false;
};

} // namespace kelvarin::triggerTesting
