#include "app/Controller.hpp"

#include "app/ListeningSockets.hpp"
#include "app/reload/SessionJoin.hpp"
#include "status/DisconnectionMessage.hpp"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <sstream>
#include <unistd.h>
#include <variant>
#include <vector>

namespace kelvarin::triggerTesting
{

namespace
{

using boost::asio::ip::tcp;

// The previous program's listening sockets, as they were: bound, listening, with their backlog.
std::vector<tcp::acceptor> inheritedListeningSockets(boost::asio::io_context &io,
                                                     ReloadState const &inherited)
{
    std::vector<tcp::acceptor> acceptors;
    for (auto const &listener : inherited.listeners)
        acceptors.emplace_back(io, listener.ipv6 ? tcp::v6() : tcp::v4(), listener.descriptor);
    return acceptors;
}

} // namespace

std::chrono::system_clock::time_point processStartTime()
{
    auto const now = std::chrono::system_clock::now();
    std::ifstream statFile("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(statFile)), std::istreambuf_iterator<char>());
    // The program's name, in parentheses, may hold spaces: the fields are counted after it.
    auto const nameEnd = stat.rfind(')');
    if (nameEnd == std::string::npos)
        return now;
    std::istringstream afterName(stat.substr(nameEnd + 1));
    std::vector<std::string> const fields{std::istream_iterator<std::string>(afterName), {}};
    // The start time is the 22nd field, the 20th after the name: clock ticks since boot.
    if (fields.size() < 20)
        return now;
    std::string const &field = fields[19];
    std::ifstream systemStat("/proc/stat");
    std::string key;
    long long bootSeconds = -1;
    while (systemStat >> key)
    {
        if (key == "btime")
        {
            systemStat >> bootSeconds;
            break;
        }
        systemStat.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
    }
    long const ticksPerSecond = ::sysconf(_SC_CLK_TCK);
    char *end = nullptr;
    auto const ticks = std::strtoull(field.c_str(), &end, 10);
    if (end == field.c_str() || bootSeconds < 0 || ticksPerSecond <= 0)
        return now;
    return std::chrono::system_clock::time_point(
        std::chrono::seconds(bootSeconds) +
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::duration<double>(static_cast<double>(ticks) / ticksPerSecond)));
}

Controller::Controller(boost::asio::io_context &io, APIOptions const &apiOptions,
                       DeviceOptions const &deviceOptions, ReloadState *inherited)
    : probeManager(io,
                   inherited != nullptr ? inheritedListeningSockets(io, *inherited)
                                        : makeListeningSockets(io, deviceOptions),
                   {}, {}, {}, deviceOptions.receiveBudget),
      apiManager(
          io, apiOptions,
          [this](ITestRequest &request)
          {
              // Called for every request the API side accepted, duplicates already answered.
              ++counted.testsReceived;
              return probeManager.requestTestRun(request);
          },
          [this](unsigned long unitId) { return probeManager.isUnitOnline(unitId); })
{
    connectDeviceSideToApiSide();
    probeManager.start();
    if (inherited != nullptr)
        adopt(*inherited);
}

void Controller::hold()
{
    probeManager.hold();
    apiManager.hold();
}

void Controller::resume(ReloadState &handedBack)
{
    for (auto &request : handedBack.requests)
        apiManager.takeBack(request.metadata);
    probeManager.takeBack(handedBack.devices);
    probeManager.resume();
    apiManager.resume();
}

bool Controller::readyForHandOver()
{
    return probeManager.readyForHandOver() && apiManager.readyForHandOver();
}

// The device side goes first: the connections it ends at the bound are reported, and their
// reports join the backlog the validator connection hands over after it.
ReloadState Controller::handOver(std::vector<int> &kept)
{
    auto devices = probeManager.handOver();
    auto state = joinHandOvers(std::move(devices), apiManager.handOver());
    auto const carried = carriedDescriptors(state);
    kept.insert(kept.end(), carried.begin(), carried.end());
    return state;
}

void Controller::adopt(ReloadState &inherited)
{
    counted = ControllerState::Totals::fromNamed(inherited.counters);
    auto const sessions = probeManager.adopt(inherited.devices);
    // The runs of a device that could not be taken over go under a name of their own, and are
    // answered as the end of its session would answer them.
    static char const notTakenOver = 0;
    apiManager.adopt(inherited.apiQueues,
                     requestsOfAdopted(inherited.requests, sessions, &notTakenOver));
    apiManager.endDeviceSession(&notTakenOver);
    apiManager.getStatusSession().adopt(inherited.reports,
                                        validationsOfAdopted(inherited.validations, sessions));
    std::clog << "Reload: took over " << inherited.devices.size() << " device connections, "
              << inherited.requests.size() << " running requests, " << inherited.reports.size()
              << " reports" << std::endl;
}

void Controller::connectDeviceSideToApiSide()
{
    probeManager.setValidateFn(
        [this](unsigned long const &unitId, EtherAddr const &mac, std::function<void(bool)> answer)
        {
            // Passed on as it is: the table of pending validations recognises a device's own
            // callback and forgets it once the device is gone.
            apiManager.validate(unitId, mac, std::move(answer));
        });
    probeManager.setReportDisconnectFn(
        [this](unsigned long const &unitId, disconnection_reason reason,
               std::chrono::system_clock::time_point time)
        { reportDisconnection(unitId, reason, time); });
    probeManager.setTestResultCallbackFn([this](Reply reply)
                                         { apiManager.sendResult(std::move(reply)); });
    // The runs a device session took and will never answer are answered as soon as it ends.
    probeManager.setSessionEndFn([this](void const *session)
                                 { apiManager.endDeviceSession(session); });
    apiManager.setReplyObserver([this](Reply const &reply) { countReply(reply); });
}

void Controller::reportDisconnection(unsigned long const &unitId, disconnection_reason reason,
                                     std::chrono::system_clock::time_point time)
{
    std::clog << "API status: report disconnection unitId:" << unitId << std::endl;
    ++(reason == timeout ? counted.disconnectionsTimeout : counted.disconnectionsClean);
    // Kept by the status session while the validator is away, so no report is lost.
    apiManager.getStatusSession().reportDisconnection(
        prepareDisconnectionMessage(unitId, reason, time));
}

void Controller::countReply(Reply const &reply)
{
    auto const *error = std::get_if<Error>(&reply.payload);
    if (error == nullptr)
        ++counted.repliesResult;
    else if (error->code == Error::UNREACHABLE)
        ++counted.repliesUnreachable;
    else
        ++counted.repliesUnknown;
}

std::vector<DeviceConnectionView> Controller::connectionsOf(unsigned long unitId) const
{
    auto views = probeManager.connectionsOf(unitId);
    for (auto &view : views)
        view.testsRunning = apiManager.runningTestsOf(view.session);
    return views;
}

DevicePage Controller::devicePage(DevicePageQuery const &query) const
{
    return probeManager.devicePage(query);
}

bool Controller::isUnitOnline(unsigned long unitId) const
{
    return probeManager.isUnitOnline(unitId);
}

ControllerState Controller::state() const
{
    auto const &status = apiManager.getStatusSession();
    ControllerState state;
    state.startTime = startTime;
    state.deviceConnections = probeManager.openConnections();
    state.devicesOnline = probeManager.onlineCount();
    state.validationsPending = status.pendingValidations();
    state.validationsQueued = status.queuedValidations();
    state.testsRunning = apiManager.runningTests();
    state.receiveHeldBytes = probeManager.receiveBudget().held();
    state.validatorConnected = status.isOpen();
    state.validatorEndpoint = status.validatorEndpoint();
    state.reportsBacklog = status.reportBacklogSize();
    for (auto const &[endpoint, session] : apiManager.getContainer().sessions)
        state.apiSessions.push_back(
            {endpoint, session->isConnected(), session->queuedBytes(), session->droppedMessages()});
    // The sides count from zero in each program; what came before is in `counted`.
    auto &totals = state.totals = counted;
    totals.admissionsAccepted += probeManager.acceptedAnswers();
    totals.admissionsRefused += probeManager.refusedAnswers();
    totals.validationsDropped += status.droppedValidations();
    totals.foreignResultsDropped += apiManager.foreignResultsDropped();
    totals.receiveBudgetExhausted += probeManager.receiveBudget().exhausted();
    totals.reportsDropped += status.droppedReports();
    return state;
}

} // namespace kelvarin::triggerTesting
