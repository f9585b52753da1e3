#pragma once

#include "api/APISession.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// Makes the request sessions of the pool, all with the same handlers and handshake host, and
// all charging one queue budget of queueLimit bytes (0: no bound). Copies share the budget.
class APISessionFactory
{
public:
    APISessionFactory(boost::asio::io_context &io, APISession::RequestHandler requestHandler,
                      APISession::IsOnlineHandler isOnlineHandler, std::string host,
                      APISession::Timings sessionTimings = {},
                      std::size_t queueLimit = APISession::defaultQueueLimit);

    // A new session for the endpoint; nothing is opened or started.
    std::shared_ptr<APISession> createAPISession(boost::asio::ip::tcp::endpoint endpoint) const;

    APIQueueBudget const &getBudget() const { return *budget; }
    // The sessions' drops not yet told go into the log now, before a hand-over.
    void writeDueDropLine() { budget->writeDueLine(); }

private:
    boost::asio::io_context &io;
    APISession::RequestHandler requestHandler;
    APISession::IsOnlineHandler isOnlineHandler;
    std::string host;
    APISession::Timings sessionTimings;
    std::shared_ptr<APIQueueBudget> budget;
};

} // namespace kelvarin::triggerTesting
