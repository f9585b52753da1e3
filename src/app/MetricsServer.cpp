#include "app/MetricsServer.hpp"

#include <boost/beast/core/bind_handler.hpp>
#include <boost/system/errc.hpp>

#include <algorithm>
#include <iostream>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr std::chrono::milliseconds firstBackoff{5};
constexpr std::chrono::milliseconds longestBackoff{1000};

// Failures the next accept would meet again at once.
bool isOutOfResources(boost::system::error_code const& ec)
{
    using boost::system::errc::errc_t;
    return ec == errc_t::too_many_files_open || ec == errc_t::too_many_files_open_in_system ||
           ec == errc_t::no_buffer_space || ec == errc_t::not_enough_memory;
}

} // namespace

MetricsServer::MetricsServer(boost::asio::ip::tcp::acceptor acceptor,
                             MetricsRequestHandler handler)
    : MetricsServer(std::move(acceptor), std::move(handler), Limits{})
{
}

MetricsServer::MetricsServer(boost::asio::ip::tcp::acceptor acceptor,
                             MetricsRequestHandler handler, Limits limits)
    : acceptor(std::move(acceptor)), handler(std::move(handler)), limits(limits),
      backoffTimer(this->acceptor.get_executor())
{
}

void MetricsServer::start()
{
    accept();
}

void MetricsServer::stop()
{
    stopped = true;
    boost::system::error_code ignored;
    acceptor.close(ignored);
    backoffTimer.cancel();
}

void MetricsServer::accept()
{
    if (stopped || accepting || sessions >= limits.connections)
        return;
    accepting = true;
    acceptor.async_accept(
        boost::beast::bind_front_handler(&MetricsServer::onAccept, shared_from_this()));
}

void MetricsServer::onAccept(boost::system::error_code const& ec,
                             boost::asio::ip::tcp::socket socket)
{
    accepting = false;
    if (stopped)
        return;
    if (ec)
    {
        std::clog << "Metrics endpoint: accept failed: " << ec.message() << std::endl;
        if (isOutOfResources(ec))
        {
            acceptAfterBackoff();
            return;
        }
    }
    else
    {
        backoff = std::chrono::milliseconds::zero();
        ++sessions;
        // The session's end reopens a place; it holds the server, so the handler it refers
        // to outlives it.
        std::make_shared<MetricsSession>(std::move(socket), handler, limits.session,
                                         [self = shared_from_this()] { self->onSessionEnd(); })
            ->start();
    }
    accept();
}

void MetricsServer::acceptAfterBackoff()
{
    backoff = backoff == std::chrono::milliseconds::zero() ? firstBackoff
                                                           : std::min(backoff * 2, longestBackoff);
    accepting = true;
    backoffTimer.expires_after(backoff);
    backoffTimer.async_wait(
        [self = shared_from_this()](boost::system::error_code const& ec)
        {
            self->accepting = false;
            if (!ec)
                self->accept();
        });
}

void MetricsServer::onSessionEnd()
{
    --sessions;
    accept();
}

} // namespace kelvarin::triggerTesting
