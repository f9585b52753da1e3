#pragma once

#include "app/admin/MetricsRequestHandler.hpp"
#include "app/admin/MetricsSession.hpp"
#include "common/AcceptBackoff.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <cstddef>
#include <memory>

namespace kelvarin::triggerTesting
{

// Accepts the connections of the metrics endpoint, each into a MetricsSession. At most
// `connections` are open at once: at the limit no accept is pending, and further clients wait
// in the listen backlog until a session ends, so a flood costs the event loop nothing.
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
    std::size_t openSessions() const { return sessions; }

private:
    void accept();
    void onAccept(boost::system::error_code const &ec, boost::asio::ip::tcp::socket socket);
    void onSessionEnd();

    boost::asio::ip::tcp::acceptor acceptor;
    MetricsRequestHandler handler;
    Limits limits;
    AcceptBackoff backoff;
    std::size_t sessions = 0;
    bool accepting = false; // an accept, or the wait before one, is pending
    bool stopped = false;
};

} // namespace kelvarin::triggerTesting
