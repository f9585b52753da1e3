#include "api/APISessionContainer.hpp"

#include "common/EndpointText.hpp"

#include <algorithm>
#include <iostream>
#include <set>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

using boost::asio::ip::tcp;

namespace
{

// Looked up once per session: a name may resolve to hundreds of addresses.
std::set<tcp::endpoint> resolvedEndpoints(tcp::resolver::results_type const &results)
{
    std::set<tcp::endpoint> endpoints;
    for (auto const &entry : results)
        endpoints.insert(entry.endpoint());
    return endpoints;
}

} // namespace

void APISessionContainer::hold()
{
    for (auto const &[endpoint, session] : sessions)
        session->hold();
}

void APISessionContainer::resume()
{
    for (auto const &[endpoint, session] : sessions)
        session->resume();
}

bool APISessionContainer::readyForHandOver() const
{
    return std::all_of(sessions.begin(), sessions.end(),
                       [](auto const &entry) { return entry.second->atHandOverPoint(); });
}

std::vector<APISessionHandOver> APISessionContainer::handOver()
{
    std::vector<APISessionHandOver> records;
    for (auto const &[endpoint, session] : sessions)
    {
        session->failHandOver();
        records.push_back(session->handOverRecord());
    }
    factory.writeDueDropLine();
    return records;
}

void APISessionContainer::adopt(std::vector<APISessionHandOver> const &records)
{
    for (auto const &record : records)
    {
        auto const endpoint = parseEndpointText(record.endpoint);
        if (!endpoint || sessions.contains(*endpoint))
        {
            std::clog << "API " << record.endpoint
                      << " not taken over: " << (endpoint ? "taken over twice" : "not an endpoint")
                      << std::endl;
            if (record.descriptor >= 0)
                ::close(record.descriptor);
            continue;
        }
        auto session = factory.createAPISession(*endpoint);
        if (auto const ec = session->adopt(record))
        {
            // It connects anew instead; its queue is kept.
            std::clog << "API " << record.endpoint << " connection not taken over: " << ec.message()
                      << std::endl;
            ::close(record.descriptor);
        }
        sessions.emplace(*endpoint, std::move(session));
    }
}

void updateSessions(APISessionContainer &container, tcp::resolver::results_type const &results)
{
    std::clog << "Updating API list" << std::endl;
    auto &sessions = container.sessions;
    auto const resolved = resolvedEndpoints(results);
    for (auto it = sessions.begin(); it != sessions.end();)
    {
        if (resolved.contains(it->first))
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
