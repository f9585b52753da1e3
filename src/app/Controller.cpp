#include "app/Controller.hpp"

#include "app/ListeningSockets.hpp"
#include "status/DisconnectionMessage.hpp"

#include <iostream>

namespace kelvarin::triggerTesting
{

Controller::Controller(boost::asio::io_context &io, APIOptions const &apiOptions,
                       DeviceOptions const &deviceOptions)
    : probeManager(io, makeListeningSockets(io, deviceOptions), {}, {}, {},
                   deviceOptions.receiveBudget),
      apiManager(
          io, apiOptions,
          [this](ITestRequest &request)
          {
              // Called for every request the API side accepted, duplicates already answered.
              metrics.countTestReceived();
              return probeManager.requestTestRun(request);
          },
          [this](unsigned long unitId) { return probeManager.isUnitOnline(unitId); })
{
    connectDeviceSideToApiSide();
    probeManager.start();
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
    apiManager.setReplyObserver([this](Reply const &reply) { metrics.countReply(reply); });
}

void Controller::reportDisconnection(unsigned long const &unitId, disconnection_reason reason,
                                     std::chrono::system_clock::time_point time)
{
    std::clog << "API status: report disconnection unitId:" << unitId << std::endl;
    metrics.countDisconnection(reason);
    // Kept by the status session while the validator is away, so no report is lost.
    apiManager.getStatusSession().reportDisconnection(
        prepareDisconnectionMessage(unitId, reason, time));
}

ControllerState Controller::state() const
{
    auto const &status = apiManager.getStatusSession();
    ControllerState state;
    state.deviceConnections = probeManager.openConnections();
    state.devicesOnline = probeManager.onlineCount();
    state.admissionsAccepted = probeManager.acceptedAnswers();
    state.admissionsRefused = probeManager.refusedAnswers();
    state.validationsPending = status.pendingValidations();
    state.validationsQueued = status.queuedValidations();
    state.validationsDropped = status.droppedValidations();
    state.testsRunning = apiManager.runningTests();
    state.foreignResultsDropped = apiManager.foreignResultsDropped();
    state.receiveHeldBytes = probeManager.receiveBudget().held();
    state.receiveBudgetExhausted = probeManager.receiveBudget().exhausted();
    state.validatorConnected = status.isOpen();
    state.reportsBacklog = status.reportBacklogSize();
    state.reportsDropped = status.droppedReports();
    for (auto const &[endpoint, session] : apiManager.getContainer().sessions)
        state.apiSessions.push_back({endpoint, session, session->isConnected(),
                                     session->queuedBytes(), session->droppedMessages()});
    return state;
}

} // namespace kelvarin::triggerTesting
