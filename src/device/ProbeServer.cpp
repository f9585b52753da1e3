#include "device/ProbeServer.hpp"

#include <boost/system/errc.hpp>

#include <algorithm>
#include <iostream>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr std::chrono::milliseconds firstBackoff{5};
constexpr std::chrono::milliseconds longestBackoff{1000};

// Failures that the next accept would meet again at once: retrying them without a pause would
// only spin the event loop.
bool isOutOfResources(boost::system::error_code const &ec)
{
    using boost::system::errc::errc_t;
    return ec == errc_t::too_many_files_open || ec == errc_t::too_many_files_open_in_system ||
           ec == errc_t::no_buffer_space || ec == errc_t::not_enough_memory;
}

} // namespace

ProbeServer::ProbeServer(boost::asio::ip::tcp::acceptor acceptor,
                         ProbeSession::ValidateFn &validateFn,
                         ProbeSession::TestResultFn &testResultCallbackFn,
                         ProbeSession::ReportDisconnectFn const &reportDisconnectFn,
                         ProbeTracker &tracker, ProbeSession::Timeouts timeouts)
    : acceptor(std::move(acceptor)), validateFn(validateFn),
      testResultCallbackFn(testResultCallbackFn), reportDisconnectFn(reportDisconnectFn),
      tracker(tracker), timeouts(timeouts), backoffTimer(this->acceptor.get_executor())
{
}

void ProbeServer::start()
{
    auto session =
        std::make_shared<ProbeSession>(acceptor.get_executor(), validateFn, testResultCallbackFn,
                                       reportDisconnectFn, tracker, timeouts);
    acceptor.async_accept(session->socket(),
                          [self = shared_from_this(), session](boost::system::error_code ec)
                          { self->onAccept(ec, session); });
}

void ProbeServer::onAccept(boost::system::error_code const &ec,
                           std::shared_ptr<ProbeSession> const &session)
{
    if (ec)
    {
        logAcceptFailure(ec);
        if (isOutOfResources(ec))
        {
            startAfterBackoff();
            return;
        }
    }
    else
    {
        backoff = std::chrono::milliseconds::zero();
        session->start();
    }
    start();
}

void ProbeServer::logAcceptFailure(boost::system::error_code const &ec)
{
    std::clog << "[ProbeServer] Error listening in "
              << acceptor.local_endpoint().address().to_string() << ": " << ec.message()
              << std::endl;
}

void ProbeServer::startAfterBackoff()
{
    backoff = backoff == std::chrono::milliseconds::zero() ? firstBackoff
                                                           : std::min(backoff * 2, longestBackoff);
    backoffTimer.expires_after(backoff);
    backoffTimer.async_wait(
        [self = shared_from_this()](boost::system::error_code ec)
        {
            if (!ec)
                self->start();
        });
}

} // namespace kelvarin::triggerTesting
