#include "api/APISessionFactory.hpp"

namespace kelvarin::triggerTesting
{

APISessionFactory::APISessionFactory(boost::asio::io_context &io,
                                     APISession::RequestHandler requestHandler,
                                     APISession::IsOnlineHandler isOnlineHandler, std::string host,
                                     APISession::Timings sessionTimings, std::size_t queueLimit)
    : io(io), requestHandler(std::move(requestHandler)),
      isOnlineHandler(std::move(isOnlineHandler)), host(std::move(host)),
      sessionTimings(sessionTimings), budget(std::make_shared<APIQueueBudget>(io, queueLimit))
{
}

std::shared_ptr<APISession>
APISessionFactory::createAPISession(boost::asio::ip::tcp::endpoint endpoint) const
{
    return std::make_shared<APISession>(io, host, endpoint, requestHandler, isOnlineHandler,
                                        sessionTimings, budget);
}

} // namespace kelvarin::triggerTesting
