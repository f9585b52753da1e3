#include "device/ProbeManager.hpp"

#include "common/LogLine.hpp"
#include "device/DeviceProtocol.hpp"
#include "device/ProbeNotFoundException.hpp"

#include <stdexcept>

namespace kelvarin::triggerTesting
{

ProbeManager::ProbeManager(boost::asio::io_context &,
                           std::vector<boost::asio::ip::tcp::acceptor> acceptors,
                           ValidateFn validateFn, TestResultFn testResultCallbackFn,
                           ProbeSession::Timeouts timeouts, std::size_t receiveBudget)
    : acceptors(std::move(acceptors)), validateFn(std::move(validateFn)),
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

} // namespace kelvarin::triggerTesting
