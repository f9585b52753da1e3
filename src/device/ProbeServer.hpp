#pragma once

#include "common/AcceptBackoff.hpp"
#include "device/ProbeSession.hpp"

#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <memory>

namespace kelvarin::triggerTesting
{

class ProbeTracker;

// Accepts the device connections of one listening socket, each into a new ProbeSession.
class ProbeServer : public std::enable_shared_from_this<ProbeServer>
{
public:
    ProbeServer(boost::asio::ip::tcp::acceptor acceptor, ProbeSession::ValidateFn &validateFn,
                ProbeSession::TestResultFn &testResultCallbackFn,
                ProbeSession::ReportDisconnectFn const &reportDisconnectFn, ProbeTracker &tracker,
                ProbeSession::Timeouts timeouts = {});
    ProbeServer(ProbeServer const &) = delete;
    ProbeServer &operator=(ProbeServer const &) = delete;

    // Arms one accept; the server re-arms itself after every completion.
    void start();
    // For a reload: no connection is accepted while holding; those that come wait in the
    // listening socket's backlog, for this program or the next.
    void hold();
    void resume();
    boost::asio::ip::tcp::acceptor &listeningSocket() { return acceptor; }

private:
    void onAccept(boost::system::error_code const &ec,
                  std::shared_ptr<ProbeSession> const &session);
    void logAcceptFailure(boost::system::error_code const &ec);

    boost::asio::ip::tcp::acceptor acceptor;
    ProbeSession::ValidateFn &validateFn;
    ProbeSession::TestResultFn &testResultCallbackFn;
    ProbeSession::ReportDisconnectFn const &reportDisconnectFn;
    ProbeTracker &tracker;
    ProbeSession::Timeouts timeouts;
    // The family of every connection it accepts.
    bool ipv6;
    ProbeSession::Executor sessionExecutor;
    AcceptBackoff backoff;
    bool holding = false;
};

} // namespace kelvarin::triggerTesting
