#include "device/ProbeManager.hpp"

#include "common/LogLine.hpp"
#include "device/DeviceProtocol.hpp"
#include "device/ProbeNotFoundException.hpp"

#include <iostream>
#include <stdexcept>
#include <unistd.h>

namespace kelvarin::triggerTesting
{

ProbeManager::ProbeManager(boost::asio::io_context &io,
                           std::vector<boost::asio::ip::tcp::acceptor> acceptors,
                           ValidateFn validateFn, TestResultFn testResultCallbackFn,
                           ProbeSession::Timeouts timeouts, std::size_t receiveBudget)
    : io(io), acceptors(std::move(acceptors)), validateFn(std::move(validateFn)),
      testResultCallbackFn(std::move(testResultCallbackFn)), timeouts(timeouts)
{
    tracker.receiveBudget().setLimit(receiveBudget);
}

void ProbeManager::setValidateFn(ValidateFn fn)
{
    validateFn = std::move(fn);
}

void ProbeManager::setReportDisconnectFn(ReportDisconnectFn fn)
{
    reportDisconnectFn = std::move(fn);
}

void ProbeManager::setTestResultCallbackFn(TestResultFn fn)
{
    testResultCallbackFn = std::move(fn);
}

void ProbeManager::setSessionEndFn(SessionEndFn fn)
{
    tracker.setSessionEndFn(std::move(fn));
}

void ProbeManager::start()
{
    if (!validateFn)
        throw std::runtime_error("Started without a validate function");
    if (!testResultCallbackFn)
        throw std::runtime_error("Started without a test results callback function");
    for (auto &acceptor : acceptors)
    {
        servers.push_back(std::make_shared<ProbeServer>(std::move(acceptor), validateFn,
                                                        testResultCallbackFn, reportDisconnectFn,
                                                        tracker, timeouts));
        servers.back()->start();
    }
}

void const *ProbeManager::requestTestRun(ITestRequest &request)
{
    std::shared_ptr<ProbeSession> session;
    try
    {
        session = findProbe(request.getProbeId());
    }
    catch (ProbeNotFoundException const &)
    {
        replyError(request, Error::UNREACHABLE);
        return nullptr;
    }
    catch (std::exception const &)
    {
        replyError(request, Error::UNKNOWN);
        return nullptr;
    }
    try
    {
        if (dispatch(*session, request))
            return session.get();
    }
    catch (std::exception const &)
    {
        replyError(request, Error::UNKNOWN);
    }
    return nullptr;
}

bool ProbeManager::isUnitOnline(unsigned long unitId) const
{
    return tracker.hasProbe(unitId);
}

std::shared_ptr<ProbeSession> ProbeManager::findProbe(unsigned long unitId) const
{
    auto session = tracker.getProbe(unitId);
    if (!session)
        throw ProbeNotFoundException();
    return session;
}

bool ProbeManager::dispatch(ProbeSession &session, ITestRequest &request)
{
    if (session.isStopped())
    {
        replyError(request, Error::UNKNOWN);
        return false;
    }
    auto run = encodeRunMessage(request.getId(), request.getData());
    LogLine() << "unitId:" << DecimalText(session.getUnitId())
              << " telling to the device to run requestId:" << UuidText(request.getId());
    session.enqueueRun(run);
    return true;
}

void ProbeManager::replyError(ITestRequest const &request, Error::Code code)
{
    testResultCallbackFn(Reply(request.getId(), Error(code, "")));
}

void ProbeManager::hold()
{
    for (auto &server : servers)
        server->hold();
    tracker.forEachConnection(
        [this](ProbeSession &session)
        {
            session.hold();
            held.push_back(session.shared_from_this());
        });
}

void ProbeManager::takeBack(std::vector<DeviceHandOver> &devices)
{
    for (std::size_t i = 0; i < devices.size() && i < handedOver.size(); ++i)
        handedOver[i]->takeBack(devices[i]);
}

void ProbeManager::resume()
{
    handedOver.clear();
    for (auto &server : servers)
        server->resume();
    for (auto &session : std::exchange(held, {}))
        session->resume();
}

bool ProbeManager::readyForHandOver()
{
    bool ready = true;
    tracker.forEachConnection([&](ProbeSession &session)
                              { ready = ready && session.atHandOverPoint(); });
    return ready;
}

DeviceSideHandOver ProbeManager::handOver()
{
    DeviceSideHandOver handOver;
    handedOver.clear();
    for (auto &server : servers)
    {
        auto &acceptor = server->listeningSocket();
        boost::system::error_code ec;
        auto const local = acceptor.local_endpoint(ec);
        handOver.listeners.push_back({acceptor.native_handle(), !ec && local.address().is_v6()});
    }
    tracker.forEachConnection(
        [&](ProbeSession &session)
        {
            if (!session.atHandOverPoint())
            {
                session.failHandOver();
                return;
            }
            auto record = session.handOverRecord();
            if (!record)
            {
                // Still in its handshake, or closing: the close would complete, and its device
                // be reported, only in a program that is about to be replaced.
                session.failHandOver();
                return;
            }
            handOver.devices.push_back(std::move(*record));
            handOver.sessions.push_back(&session);
            handedOver.push_back(&session);
        });
    return handOver;
}

std::vector<std::shared_ptr<ProbeSession>>
ProbeManager::adopt(std::vector<DeviceHandOver> const &devices)
{
    std::vector<std::shared_ptr<ProbeSession>> sessions;
    for (auto const &record : devices)
    {
        auto session =
            std::make_shared<ProbeSession>(io.get_executor(), validateFn, testResultCallbackFn,
                                           reportDisconnectFn, tracker, timeouts);
        if (auto const ec = session->adopt(record))
        {
            std::clog << "unitId:" << record.unitId << " not taken over: " << ec.message()
                      << std::endl;
            ::close(record.descriptor);
            session.reset();
            // Its connection is gone as a lost one's is: an admitted device is reported.
            if (record.state == static_cast<std::uint32_t>(ProbeSession::State::validated) &&
                reportDisconnectFn)
                reportDisconnectFn(record.unitId, clean, std::chrono::system_clock::now());
        }
        sessions.push_back(std::move(session));
    }
    return sessions;
}

} // namespace kelvarin::triggerTesting
