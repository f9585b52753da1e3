#include "api/APIManager.hpp"

#include "api/Error.hpp"
#include "api/ResultMessage.hpp"

#include <boost/uuid/uuid_io.hpp>

#include <iostream>

namespace kelvarin::triggerTesting
{

APIManager::APIManager(boost::asio::io_context& io, APIOptions const& options,
                       RequestFn requestFn, IsOnlineFn isOnlineFn,
                       APISessionTimings sessionTimings, StatusTimings statusTimings)
    : io(io), statusSession(io, options.bestHostname, options.service, statusTimings),
      container(APISessionFactory(
          io,
          [this, requestFn = std::move(requestFn)](ITestRequest& request)
          { handleRequest(request, requestFn); },
          std::move(isOnlineFn), options.allHostname, sessionTimings)),
      resolver(io, options.allHostname, options.service, options.refreshInterval,
               [this](PeriodicResolver::Results const& results)
               { updateSessions(container, results); })
{
    statusSession.start();
    resolver.start();
}

void APIManager::handleRequest(ITestRequest& request, RequestFn const& requestFn)
{
    if (requests.contains(request.getId()))
    {
        // The running request keeps its entry; the duplicate is answered and dropped.
        sendResult(Reply(request.getId(), Error(Error::UNKNOWN, "Duplicated message ID")),
                   request.getMetadata());
        return;
    }
    requests.emplace(request.getId(), request.getMetadata());
    std::clog << "API: received request to run requestId:" << request.getId()
              << " in unitId:" << request.getProbeId() << std::endl;
    // The entry exists before the call, so a reply made during it (an unreachable unit)
    // finds it.
    requestFn(request);
}

void APIManager::sendResult(Reply reply)
{
    auto const entry = requests.find(reply.id);
    if (entry == requests.end())
        return;
    bool const last = reply.isLast();
    auto const id = reply.id;
    // Moved on, so the device's result text is not copied once more on its way out.
    sendResult(std::move(reply), entry->second);
    std::clog << "API: sent result for requestId:" << id << " and is last: " << last
              << std::endl;
    if (last)
        requests.erase(entry);
}

void APIManager::sendResult(Reply reply, TestMetadata const& metadata)
{
    std::string const message = buildResultMessage(reply, metadata);
    if (replyObserver)
        replyObserver(reply);
    for (auto const& [endpoint, session] : container.sessions)
        session->sendResult(message);
}

void APIManager::validate(unsigned long const& unitId, EtherAddr const& mac,
                          std::function<void(bool)> callback)
{
    statusSession.validate(unitId, mac, std::move(callback), false);
}

} // namespace kelvarin::triggerTesting
