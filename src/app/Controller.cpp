#include "app/Controller.hpp"

#include "app/ListeningSockets.hpp"
#include "status/DisconnectionMessage.hpp"

#include <iostream>

namespace kelvarin::triggerTesting
{

Controller::Controller(boost::asio::io_context& io, APIOptions const& apiOptions,
                       DeviceOptions const& deviceOptions)
    : probeManager(io, makeListeningSockets(io, deviceOptions), {}, {}),
      apiManager(
          io, apiOptions, [this](ITestRequest& request) { probeManager.requestTestRun(request); },
          [this](unsigned long unitId) { return probeManager.isUnitOnline(unitId); })
{
    connectDeviceSideToApiSide();
    probeManager.start();
}

void Controller::connectDeviceSideToApiSide()
{
    probeManager.setValidateFn(
        [this](unsigned long const& unitId, EtherAddr const& mac, std::function<void(bool)> answer)
        { apiManager.validate(unitId, mac, std::move(answer)); });
    probeManager.setReportDisconnectFn(
        [this](unsigned long const& unitId, disconnection_reason reason,
               std::chrono::system_clock::time_point time)
        { reportDisconnection(unitId, reason, time); });
    probeManager.setTestResultCallbackFn([this](Reply reply)
                                         { apiManager.sendResult(std::move(reply)); });
}

void Controller::reportDisconnection(unsigned long const& unitId, disconnection_reason reason,
                                     std::chrono::system_clock::time_point time)
{
    std::clog << "API status: report disconnection unitId:" << unitId << std::endl;
    // Kept by the status session while the validator is away, so no report is lost.
    apiManager.getStatusSession().reportDisconnection(
        prepareDisconnectionMessage(unitId, reason, time));
}

} // namespace kelvarin::triggerTesting
