#include "api/APISessionContainer.hpp"

#include <algorithm>
#include <iostream>

namespace kelvarin::triggerTesting
{

using boost::asio::ip::tcp;

namespace
{

bool isResolved(tcp::endpoint const &endpoint, tcp::resolver::results_type const &results)
{
    return std::any_of(results.begin(), results.end(),
                       [&](auto const &entry) { return entry.endpoint() == endpoint; });
}

} // namespace

void updateSessions(APISessionContainer &container, tcp::resolver::results_type const &results)
{
    std::clog << "Updating API list" << std::endl;
    auto &sessions = container.sessions;
    for (auto it = sessions.begin(); it != sessions.end();)
    {
        if (isResolved(it->first, results))
        {
            ++it;
            continue;
        }
        it->second->stop();
        std::clog << "Removed API " << it->first << std::endl;
        it = sessions.erase(it);
    }
    addNewClients(sessions, results, container.factory);
}

void addNewClients(APISessionMap &sessions, tcp::resolver::results_type const &results,
                   APISessionFactory const &factory)
{
    for (auto const &entry : results)
    {
        if (sessions.contains(entry.endpoint()))
            continue;
        auto session = factory.createAPISession(entry.endpoint());
        if (auto const ec = session->openSocket())
        {
            std::clog << "Couldn't open a socket for API " << entry.endpoint() << ": "
                      << ec.message() << std::endl;
            continue;
        }
        std::clog << "Added API " << entry.host_name() << std::endl;
        session->start();
        sessions.emplace(entry.endpoint(), std::move(session));
    }
}

} // namespace kelvarin::triggerTesting
