#pragma once

#include "api/ITestRequest.hpp"
#include "device/DeviceHandOver.hpp"
#include "device/ProbeServer.hpp"
#include "device/ProbeSession.hpp"
#include "device/ProbeTracker.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <memory>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting
{

// The device side as one unit: the listening sockets with their acceptors, the registry of
// validated devices, and the dispatch of test requests to them.
class ProbeManager
{
public:
    using ValidateFn = ProbeSession::ValidateFn;
    using TestResultFn = ProbeSession::TestResultFn;
    using ReportDisconnectFn = ProbeSession::ReportDisconnectFn;
    using SessionEndFn = ProbeTracker::SessionEndFn;

    // receiveBudget: bytes of partly received messages over all devices; 0 bounds nothing.
    ProbeManager(boost::asio::io_context &io, std::vector<boost::asio::ip::tcp::acceptor> acceptors,
                 ValidateFn validateFn, TestResultFn testResultCallbackFn,
                 ProbeSession::Timeouts timeouts = {}, std::size_t receiveBudget = 0);
    // Sessions and acceptors refer into the manager.
    ProbeManager(ProbeManager const &) = delete;
    ProbeManager &operator=(ProbeManager const &) = delete;

    void setValidateFn(ValidateFn fn);
    // Copied by every acceptor when it is made: set it before start().
    void setReportDisconnectFn(ReportDisconnectFn fn);
    void setTestResultCallbackFn(TestResultFn fn);
    // Told the end of every session that was given test runs, with the session's identity as
    // requestTestRun returned it.
    void setSessionEndFn(SessionEndFn fn);

    void start();
    // Queues a run message on the unit's connection and returns that session's identity; a
    // failure becomes an error Reply, and the identity is null.
    void const *requestTestRun(ITestRequest &request);
    bool isUnitOnline(unsigned long unitId) const;
    std::size_t onlineCount() const { return tracker.size(); }
    std::size_t openConnections() const { return tracker.openConnections(); }
    std::uint64_t acceptedAnswers() const { return tracker.acceptedAnswers(); }
    std::uint64_t refusedAnswers() const { return tracker.refusedAnswers(); }
    ReceiveBudget const &receiveBudget() const { return tracker.receiveBudget(); }
    // For operators: the open connections registered with a unit, newest first, and a page of
    // all registered connections.
    std::vector<DeviceConnectionView> connectionsOf(unsigned long unitId) const
    {
        return tracker.connectionsOf(unitId);
    }
    DevicePage devicePage(DevicePageQuery const &query) const { return tracker.page(query); }

    // A reload: every acceptor and session holds, the manager tells when all of them can be
    // handed over, and hands them over, ending the connections that cannot be.
    void hold();
    void resume();
    bool readyForHandOver();
    DeviceSideHandOver handOver();
    // When the program could not be replaced, before resume(): each session takes back what
    // its record took, the records in the order handOver() gave them.
    void takeBack(std::vector<DeviceHandOver> &devices);
    // The connections a previous program handed over, after start(): the session of each
    // record, empty where it could not be adopted (that connection is closed).
    std::vector<std::shared_ptr<ProbeSession>> adopt(std::vector<DeviceHandOver> const &devices);

private:
    std::shared_ptr<ProbeSession> findProbe(unsigned long unitId) const;
    bool dispatch(ProbeSession &session, ITestRequest &request);
    void replyError(ITestRequest const &request, Error::Code code);

    boost::asio::io_context &io;
    std::vector<boost::asio::ip::tcp::acceptor> acceptors;
    ProbeTracker tracker;
    ValidateFn validateFn;
    ReportDisconnectFn reportDisconnectFn;
    TestResultFn testResultCallbackFn;
    ProbeSession::Timeouts timeouts;
    std::vector<std::shared_ptr<ProbeServer>> servers;
    // A held session that waits at a message boundary has no operation pending to keep it.
    std::vector<std::shared_ptr<ProbeSession>> held;
    // The session of each record of the last hand-over, kept alive by `held`.
    std::vector<ProbeSession *> handedOver;
};

} // namespace kelvarin::triggerTesting
