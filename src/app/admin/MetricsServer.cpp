#include "app/admin/MetricsServer.hpp"

#include <boost/beast/core/bind_handler.hpp>

#include <algorithm>
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
    if (stopped || accepting)
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
        if (openSessions() < limits.connections || evictOldestWaiting())
        {
            // The session's end frees its place; it holds the server, so the handler it refers
            // to outlives it.
            auto session = std::make_shared<MetricsSession>(
                std::move(socket), handler, limits.session,
                [self = shared_from_this()] { self->onSessionEnd(); });
            open.push_back(session);
            session->start();
        }
        // Otherwise the socket closes here: every session is busy answering.
    }
    accept();
}

bool MetricsServer::evictOldestWaiting()
{
    std::shared_ptr<MetricsSession> oldest;
    for (auto const &entry : open)
    {
        auto session = entry.lock();
        if (session && session->awaitsRequest() &&
            (!oldest || session->awaitingSince() < oldest->awaitingSince()))
            oldest = std::move(session);
    }
    if (!oldest)
        return false;
    // Its place is free at once: its end follows on the next turn of the loop.
    oldest->stop();
    ++evicted;
    return true;
}

std::size_t MetricsServer::openSessions() const
{
    return static_cast<std::size_t>(std::count_if(open.begin(), open.end(),
                                                  [](auto const &entry)
                                                  {
                                                      auto const session = entry.lock();
                                                      return session && session->isOpen();
                                                  }));
}

void MetricsServer::onSessionEnd()
{
    std::erase_if(open, [](auto const &entry) { return entry.expired(); });
}

} // namespace kelvarin::triggerTesting
