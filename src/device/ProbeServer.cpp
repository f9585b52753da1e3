#include "device/ProbeServer.hpp"

#include <boost/system/errc.hpp>

#include <algorithm>
#include <iostream>
#include <stdexcept>

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

// The sessions share the acceptor's loop, which is always an io_context's.
ProbeSession::Executor ioContextExecutor(boost::asio::ip::tcp::acceptor &acceptor)
{
    auto const *executor = acceptor.get_executor().target<ProbeSession::Executor>();
    if (executor == nullptr)
        throw std::logic_error("device acceptor not run by an io_context");
    return *executor;
}

} // namespace

ProbeServer::ProbeServer(boost::asio::ip::tcp::acceptor acceptor,
                         ProbeSession::ValidateFn &validateFn,
                         ProbeSession::TestResultFn &testResultCallbackFn,
                         ProbeSession::ReportDisconnectFn const &reportDisconnectFn,
                         ProbeTracker &tracker, ProbeSession::Timeouts timeouts)
    : acceptor(std::move(acceptor)), validateFn(validateFn),
      testResultCallbackFn(testResultCallbackFn), reportDisconnectFn(reportDisconnectFn),
      tracker(tracker), timeouts(timeouts), sessionExecutor(ioContextExecutor(this->acceptor)),
      backoffTimer(this->acceptor.get_executor())
{
}

void ProbeServer::start()
{
    auto session =
        std::make_shared<ProbeSession>(sessionExecutor, validateFn, testResultCallbackFn,
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
