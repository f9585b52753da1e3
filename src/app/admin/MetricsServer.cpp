#include "app/admin/MetricsServer.hpp"

#include <boost/beast/core/bind_handler.hpp>

#include <iostream>

namespace kelvarin::triggerTesting
{

MetricsServer::MetricsServer(boost::asio::ip::tcp::acceptor acceptor, MetricsRequestHandler handler)
    : MetricsServer(std::move(acceptor), std::move(handler), Limits{})
{
}

MetricsServer::MetricsServer(boost::asio::ip::tcp::acceptor acceptor, MetricsRequestHandler handler,
                             Limits limits)
    : acceptor(std::move(acceptor)), handler(std::move(handler)), limits(limits),
      backoff(this->acceptor.get_executor())
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
    backoff.cancel();
}

void MetricsServer::accept()
{
    if (stopped || accepting || sessions >= limits.connections)
        return;
    accepting = true;
    acceptor.async_accept(
        boost::beast::bind_front_handler(&MetricsServer::onAccept, shared_from_this()));
}

void MetricsServer::onAccept(boost::system::error_code const &ec,
                             boost::asio::ip::tcp::socket socket)
{
    accepting = false;
    if (stopped)
        return;
    if (ec)
    {
        std::clog << "Metrics endpoint: accept failed: " << ec.message() << std::endl;
        if (AcceptBackoff::isOutOfResources(ec))
        {
            accepting = true;
            backoff.wait(
                [self = shared_from_this()]
                {
                    self->accepting = false;
                    self->accept();
                });
            return;
        }
    }
    else
    {
        backoff.reset();
        ++sessions;
        // The session's end reopens a place; it holds the server, so the handler it refers
        // to outlives it.
        std::make_shared<MetricsSession>(std::move(socket), handler, limits.session,
                                         [self = shared_from_this()] { self->onSessionEnd(); })
            ->start();
    }
    accept();
}

void MetricsServer::onSessionEnd()
{
    --sessions;
    accept();
}

} // namespace kelvarin::triggerTesting
