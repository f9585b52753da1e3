#include "api/APIManager.hpp"

#include "api/Error.hpp"
#include "api/ResultMessage.hpp"
#include "common/LogLine.hpp"

#include <vector>

namespace kelvarin::triggerTesting
{

APIManager::APIManager(boost::asio::io_context &io, APIOptions const &options, RequestFn requestFn,
                       IsOnlineFn isOnlineFn, APISessionTimings sessionTimings,
                       StatusTimings statusTimings, std::size_t runningLimit)
    : io(io), statusSession(io, options.bestHostname, options.service, statusTimings),
      container(APISessionFactory(
          io,
          [this, requestFn = std::move(requestFn)](ITestRequest &request)
          { handleRequest(request, requestFn); },
          std::move(isOnlineFn), options.allHostname, sessionTimings, options.queueLimit)),
      resolver(io, options.allHostname, options.service, options.refreshInterval,
               [this](PeriodicResolver::Results const &results)
               { updateSessions(container, results); }),
      runningLimit(runningLimit)
{
    statusSession.start();
    resolver.start();
}

void APIManager::handleRequest(ITestRequest &request, RequestFn const &requestFn)
{
    if (requests.contains(request.getId()))
    {
        // The running request keeps its entry; the duplicate is answered and dropped.
        sendResult(Reply(request.getId(), Error(Error::UNKNOWN, "Duplicated message ID")),
                   request.getMetadata());
        return;
    }
    auto const cost = entryCost(request.getMetadata());
    if (runningBytes + cost > runningLimit)
    {
        // A device that never finishes its tests, or a server that floods them, must not grow
        // the table without end; the request is refused like a duplicate.
        LogLine() << "API: too many running requests, refused requestId:"
                  << UuidText(request.getId());
        sendResult(Reply(request.getId(), Error(Error::UNKNOWN, "Too many running requests")),
                   request.getMetadata());
        return;
    }
    requests.emplace(request.getId(), RunningRequest{request.getMetadata()});
    runningBytes += cost;
    LogLine() << "API: received request to run requestId:" << UuidText(request.getId())
              << " in unitId:" << DecimalText(request.getProbeId());
    // The entry exists before the call, so a reply made during it (an unreachable unit)
    // finds it; such a reply has also ended it, so it is looked for again.
    auto const *session = requestFn(request);
    if (session == nullptr)
        return;
    auto const entry = requests.find(request.getId());
    if (entry != requests.end())
    {
        entry->second.deviceSession = session;
        countRun(session, true);
    }
}

void APIManager::countRun(void const *session, bool taken)
{
    if (session == nullptr)
        return;
    if (taken)
    {
        ++runningPerSession[session];
        return;
    }
    // The count stays at zero until the session ends: a device running one test at a time
    // would otherwise make and free the entry on every round trip.
    auto const found = runningPerSession.find(session);
    if (found != runningPerSession.end() && found->second > 0)
        --found->second;
}

std::size_t APIManager::runningTestsOf(void const *session) const
{
    auto const found = runningPerSession.find(session);
    return found == runningPerSession.end() ? 0 : found->second;
}

void APIManager::sendResult(Reply reply)
{
    auto const entry = requests.find(reply.id);
    if (entry == requests.end())
        return;
    auto const &metadata = entry->second.metadata;
    if (reply.fromUnit && *reply.fromUnit != metadata.unitId)
    {
        // Only the unit that was asked answers; the request stays open for it.
        ++foreignResults;
        LogLine() << "unitId:" << DecimalText(*reply.fromUnit)
                  << " result for a request of unitId:" << DecimalText(metadata.unitId)
                  << " dropped";
        return;
    }
    bool const last = reply.isLast();
    auto const id = reply.id;
    // Moved on, so the device's result text is not copied once more on its way out.
    sendResult(std::move(reply), metadata);
    LogLine() << "API: sent result for requestId:" << UuidText(id)
              << " and is last: " << (last ? '1' : '0');
    if (last)
    {
        runningBytes -= entryCost(metadata);
        countRun(entry->second.deviceSession, false);
        requests.erase(entry);
    }
}

void APIManager::sendResult(Reply reply, TestMetadata const &metadata)
{
    // One text, shared by the queues of all servers.
    auto const message = shareText(buildResultMessage(reply, metadata));
    if (replyObserver)
        replyObserver(reply);
    for (auto const &[endpoint, session] : container.sessions)
        session->sendResult(message);
}

// What an entry of the running requests holds on the heap, roughly: the map node and the task.
std::size_t APIManager::entryCost(TestMetadata const &metadata)
{
    constexpr std::size_t nodeCost = 128;
    return nodeCost + metadata.task.size();
}

void APIManager::endDeviceSession(void const *session)
{
    std::vector<boost::uuids::uuid> open;
    for (auto const &[id, request] : requests)
        if (request.deviceSession == session)
            open.push_back(id);
    for (auto const &id : open)
        sendResult(Reply(id, Error(Error::UNKNOWN, "Device disconnected")));
    runningPerSession.erase(session);
}

void APIManager::hold()
{
    container.hold();
    statusSession.hold();
}

void APIManager::resume()
{
    container.resume();
    statusSession.resume();
}

bool APIManager::readyForHandOver() const
{
    return container.readyForHandOver() && statusSession.atHandOverPoint();
}

APISideHandOver APIManager::handOver()
{
    APISideHandOver handOver{container.handOver(), {}, statusSession.handOver()};
    handOver.requests.reserve(requests.size());
    for (auto &[id, request] : requests)
        handOver.requests.push_back({std::move(request.metadata), request.deviceSession});
    return handOver;
}

void APIManager::takeBack(TestMetadata &handedBack)
{
    if (auto const found = requests.find(handedBack.testId); found != requests.end())
        found->second.metadata = std::move(handedBack);
}

// Every request the previous program admitted stays admitted, above the limit if need be: its
// replies are still to come, and new requests are refused until the table is back under it.
void APIManager::adopt(std::vector<APISessionHandOver> const &sessions,
                       std::vector<RunningRequest> running)
{
    container.adopt(sessions);
    for (auto &request : running)
    {
        // Moved in: the tasks are not held twice.
        auto const testId = request.metadata.testId;
        auto const cost = entryCost(request.metadata);
        auto const *session = request.deviceSession;
        if (requests.emplace(testId, std::move(request)).second)
        {
            runningBytes += cost;
            countRun(session, true);
        }
    }
}

void APIManager::validate(unsigned long const &unitId, EtherAddr const &mac,
                          std::function<void(bool)> callback)
{
    statusSession.validate(unitId, mac, std::move(callback), false);
}

} // namespace kelvarin::triggerTesting
