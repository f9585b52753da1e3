#include "device/ProbeServer.hpp"

#include <iostream>
#include <stdexcept>

namespace kelvarin::triggerTesting
{

namespace
{

// The sessions share the acceptor's loop, which is always an io_context's.
ProbeSession::Executor ioContextExecutor(boost::asio::ip::tcp::acceptor &acceptor)
{
    auto const *executor = acceptor.get_executor().target<ProbeSession::Executor>();
    if (executor == nullptr)
        throw std::logic_error("device acceptor not run by an io_context");
    return *executor;
}

bool isIpv6(boost::asio::ip::tcp::acceptor &acceptor)
{
    boost::system::error_code ec;
    auto const local = acceptor.local_endpoint(ec);
    return !ec && local.address().is_v6();
}

} // namespace

ProbeServer::ProbeServer(boost::asio::ip::tcp::acceptor acceptor,
                         ProbeSession::ValidateFn &validateFn,
                         ProbeSession::TestResultFn &testResultCallbackFn,
                         ProbeSession::ReportDisconnectFn const &reportDisconnectFn,
                         ProbeTracker &tracker, ProbeSession::Timeouts timeouts)
    : acceptor(std::move(acceptor)), validateFn(validateFn),
      testResultCallbackFn(testResultCallbackFn), reportDisconnectFn(reportDisconnectFn),
      tracker(tracker), timeouts(timeouts), ipv6(isIpv6(this->acceptor)),
      sessionExecutor(ioContextExecutor(this->acceptor)), backoff(this->acceptor.get_executor())
{
}

void ProbeServer::start()
{
    auto session = std::make_shared<ProbeSession>(sessionExecutor, validateFn, testResultCallbackFn,
                                                  reportDisconnectFn, tracker, timeouts);
    acceptor.async_accept(session->socket(), session->peerEndpoint(),
                          [self = shared_from_this(), session](boost::system::error_code ec)
                          { self->onAccept(ec, session); });
}

void ProbeServer::hold()
{
    holding = true;
    boost::system::error_code ignored;
    acceptor.cancel(ignored);
}

void ProbeServer::resume()
{
    if (!holding)
        return;
    holding = false;
    start();
}

void ProbeServer::onAccept(boost::system::error_code const &ec,
                           std::shared_ptr<ProbeSession> const &session)
{
    // Accepted as the hold began: closed with the session, before its handshake; the device
    // connects again.
    if (holding)
        return;
    if (ec)
    {
        logAcceptFailure(ec);
        if (AcceptBackoff::isOutOfResources(ec))
        {
            backoff.wait([self = shared_from_this()] { self->start(); });
            return;
        }
    }
    else
    {
        backoff.reset();
        session->start(ipv6);
    }
    start();
}

void ProbeServer::logAcceptFailure(boost::system::error_code const &ec)
{
    std::clog << "[ProbeServer] Error listening in "
              << acceptor.local_endpoint().address().to_string() << ": " << ec.message()
              << std::endl;
}

} // namespace kelvarin::triggerTesting
