#include "api/APIManager.hpp"

#include "support/LoopTest.hpp"

#include <boost/uuid/string_generator.hpp>

#include <algorithm>
#include <stdexcept>
#include <unistd.h>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;

std::string const requestId = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::string execute(unsigned long unitId, std::string const &task,
                    std::string const &id = requestId)
{
    return "{\"type\":\"execute\",\"data\":{\"test_id\":\"" + id +
           "\",\"unit_id\":" + std::to_string(unitId) + ",\"task\":\"" + task +
           "\",\"action_id\":3}}";
}

// The result message of a request made by execute(): the result's members, then the request's.
std::string resultOf(std::string const &body, unsigned long unitId, std::string const &task,
                     std::string const &id = requestId)
{
    auto text = execute(unitId, task, id);
    return text.insert(text.find("\"test_id\""), body);
}

class APIManagerTest : public LoopTest
{
protected:
    // Every API server is the one fake behind 127.0.0.1; the validator address has no server.
    void start(std::size_t runningLimit = APIManager::maxRunningBytes)
    {
        construct(runningLimit);
        ASSERT_TRUE(waitForMessages(server, 1)); // the request session's registration
    }

    void construct(std::size_t runningLimit)
    {
        APIOptions const options{"127.0.0.1", "127.0.0.2", std::to_string(server.endpoint().port()),
                                 std::chrono::hours(1)};
        manager = std::make_unique<APIManager>(
            io, options,
            [this](ITestRequest &request)
            {
                forwarded.push_back(request.getProbeId());
                return takenBy;
            },
            [](unsigned long) { return false; }, APISessionTimings{20ms},
            StatusTimings{1h, 1h, 10s}, runningLimit);
    }

    boost::uuids::uuid const id = boost::uuids::string_generator()(requestId);
    FakeApiServer server{io};
    std::vector<unsigned long> forwarded;
    void const *takenBy = nullptr; // the device session that the requests go to

    std::unique_ptr<APIManager> manager;
};

TEST_F(APIManagerTest, RequestsBeyondTheRunningLimitAreRefused)
{
    start(300); // room for two running requests of a short task
    auto const numbered = [](int n) { return requestId.substr(0, 35) + std::to_string(n); };
    for (int n = 1; n <= 3; ++n)
        server.send(execute(5, "t", numbered(n)));
    ASSERT_TRUE(waitForMessages(server, 2));
    EXPECT_EQ(forwarded, (std::vector<unsigned long>{5, 5}));
    EXPECT_EQ(server.allReceived().back(),
              resultOf("\"status\":\"error\",\"data\":{\"code\":\"UNKNOWN\",\"message\":"
                       "\"Too many running requests\"},",
                       5, "t", numbered(3)));
    EXPECT_EQ(log.count("API: too many running requests, refused requestId:" + numbered(3)), 1u);
}

TEST_F(APIManagerTest, ResultsOfRunningRequestsGoOutUntilTheLastAndOthersNowhere)
{
    start();
    server.send(execute(12, "ping"));
    ASSERT_TRUE(runUntil([&] { return !forwarded.empty(); }));
    server.send(execute(12, "ping")); // its id again, while it runs
    ASSERT_TRUE(waitForMessages(server, 2));
    EXPECT_EQ(server.allReceived()[1],
              resultOf("\"status\":\"error\",\"data\":{\"code\":\"UNKNOWN\",\"message\":"
                       "\"Duplicated message ID\"},",
                       12, "ping"));
    EXPECT_EQ(forwarded.size(), 1u);
    // A device text that is not JSON reaches the caller; the request stays running, unlogged.
    EXPECT_THROW(manager->sendResult(Reply(id, Result("hop", true))), std::runtime_error);
    manager->sendResult(Reply(id, Result("{\"hop\":1}", false)));
    auto const other = boost::uuids::string_generator()("00000000-0000-0000-0000-000000000001");
    manager->sendResult(Reply(other, Result("{\"hop\":2}", true)));
    EXPECT_TRUE(manager->isRunning(id));
    manager->sendResult(Reply(id, Result("{\"hop\":3}", true)));
    EXPECT_FALSE(manager->isRunning(id));
    ASSERT_TRUE(waitForMessages(server, 4));
    EXPECT_EQ(Lines(server.allReceived().begin() + 2, server.allReceived().end()),
              (Lines{resultOf("\"hop\":1,", 12, "ping"), resultOf("\"hop\":3,", 12, "ping")}));
    EXPECT_EQ(log.linesStartingWith("API: "),
              (Lines{"API: received request to run requestId:" + requestId + " in unitId:12",
                     "API: sent result for requestId:" + requestId + " and is last: 0",
                     "API: sent result for requestId:" + requestId + " and is last: 1"}));
}

std::string const disconnected =
    "\"status\":\"error\",\"data\":{\"code\":\"UNKNOWN\",\"message\":\"Device disconnected\"},";

// Results are matched by request id and unit: one unit's device cannot end another's test.
TEST_F(APIManagerTest, ResultFromAnotherUnitIsDroppedAndTheRequestStaysOpenForItsOwn)
{
    start();
    server.send(execute(8, "ping"));
    ASSERT_TRUE(runUntil([&] { return !forwarded.empty(); }));
    Reply foreign(id, Result("{\"from\":7}", true));
    foreign.fromUnit = 7;
    manager->sendResult(std::move(foreign));
    EXPECT_TRUE(manager->isRunning(id));
    EXPECT_EQ(manager->foreignResultsDropped(), 1u);
    EXPECT_EQ(log.count("unitId:7 result for a request of unitId:8 dropped"), 1u);

    Reply own(id, Result("{\"from\":8}", true));
    own.fromUnit = 8;
    manager->sendResult(std::move(own));
    EXPECT_FALSE(manager->isRunning(id));
    ASSERT_TRUE(waitForMessages(server, 2));
    EXPECT_EQ(Lines(server.allReceived().begin() + 1, server.allReceived().end()),
              Lines{resultOf("\"from\":8,", 8, "ping")});
    EXPECT_EQ(manager->foreignResultsDropped(), 1u);
}

TEST_F(APIManagerTest, EndOfADeviceSessionAnswersOnlyTheRequestsItTook)
{
    start();
    int sessions[2];
    auto const numbered = [](int n) { return requestId.substr(0, 35) + std::to_string(n); };
    takenBy = &sessions[0];
    server.send(execute(5, "t", numbered(1)));
    server.send(execute(5, "t", numbered(2)));
    ASSERT_TRUE(runUntil([&] { return forwarded.size() == 2; }));
    takenBy = &sessions[1];
    server.send(execute(5, "t", numbered(3)));
    ASSERT_TRUE(runUntil([&] { return forwarded.size() == 3; }));
    takenBy = nullptr; // answered at dispatch: never any session's
    server.send(execute(5, "t", numbered(4)));
    ASSERT_TRUE(runUntil([&] { return forwarded.size() == 4; }));
    ASSERT_EQ(manager->runningTests(), 4u);

    manager->endDeviceSession(&sessions[0]);
    ASSERT_TRUE(waitForMessages(server, 3));
    Lines answered(server.allReceived().begin() + 1, server.allReceived().end());
    std::sort(answered.begin(), answered.end());
    EXPECT_EQ(answered, (Lines{resultOf(disconnected, 5, "t", numbered(1)),
                               resultOf(disconnected, 5, "t", numbered(2))}));
    EXPECT_EQ(manager->runningTests(), 2u);
    EXPECT_TRUE(manager->isRunning(boost::uuids::string_generator()(numbered(3))));
    // Nothing is left of it: the next message out is the last result of the third request.
    manager->endDeviceSession(&sessions[0]);
    manager->sendResult(Reply(boost::uuids::string_generator()(numbered(3)), Result("{}", true)));
    ASSERT_TRUE(waitForMessages(server, 4));
    EXPECT_EQ(server.allReceived().back(), resultOf("", 5, "t", numbered(3)));
}

TEST_F(APIManagerTest, RunningRequestsAndTheConnectionGoOverWithTheirAccounting)
{
    start(300); // room for two running requests of a short task
    auto const numbered = [](int n) { return requestId.substr(0, 35) + std::to_string(n); };
    server.send(execute(5, "t", numbered(1)));
    server.send(execute(6, "t", numbered(2)));
    ASSERT_TRUE(runUntil([&] { return forwarded.size() == 2; }));
    manager->hold();
    ASSERT_TRUE(runUntil([&] { return manager->readyForHandOver(); }));
    auto handOver = manager->handOver();
    ASSERT_EQ(handOver.requests.size(), 2u);
    std::sort(handOver.requests.begin(), handOver.requests.end(),
              [](auto const &a, auto const &b) { return a.metadata.unitId < b.metadata.unitId; });
    EXPECT_EQ(handOver.requests[1].metadata.testId, boost::uuids::string_generator()(numbered(2)));
    EXPECT_EQ(handOver.requests[1].metadata.task, "t");
    EXPECT_EQ(handOver.requests[1].metadata.actionId, 3u);
    ASSERT_EQ(handOver.sessions.size(), 1u);
    ASSERT_GE(handOver.sessions[0].descriptor, 0);

    // The exec, in one process: the descriptor outlives the old manager's sockets.
    handOver.sessions[0].descriptor = ::dup(handOver.sessions[0].descriptor);
    for (auto const &[endpoint, session] : manager->getContainer().sessions)
        session->stop();
    // Kept: the validator connection is not made to end before the event loop does.
    auto const previous = std::move(manager);
    forwarded.clear();
    construct(300);
    manager->adopt(handOver.sessions, handOver.requests);
    EXPECT_EQ(manager->runningTests(), 2u);

    // Still full: the third is refused, on the same connection.
    server.send(execute(7, "t", numbered(3)));
    ASSERT_TRUE(waitForMessages(server, 2));
    EXPECT_EQ(server.allReceived()[1],
              resultOf("\"status\":\"error\",\"data\":{\"code\":\"UNKNOWN\",\"message\":"
                       "\"Too many running requests\"},",
                       7, "t", numbered(3)));
    // The last reply of an adopted request goes out and makes room.
    manager->sendResult(Reply(handOver.requests[0].metadata.testId, Result("{\"hop\":1}", true)));
    server.send(execute(7, "t", numbered(4)));
    ASSERT_TRUE(runUntil([&] { return forwarded.size() == 1; }));
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(server.allReceived()[2], resultOf("\"hop\":1,", 5, "t", numbered(1)));
    // The resolver's answer keeps the adopted session: no second connection, no registration.
    ASSERT_TRUE(waitForLog("Updating API list", 2));
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_EQ(server.allReceived().size(), 3u);
    EXPECT_TRUE(server.newest().open);
}

// After a failed exec: the task the hand-over moved out is back, and its result carries it.
TEST_F(APIManagerTest, ARunningRequestTakenBackKeepsItsTask)
{
    start();
    server.send(execute(5, "task"));
    ASSERT_TRUE(runUntil([&] { return forwarded.size() == 1; }));
    manager->hold();
    ASSERT_TRUE(runUntil([&] { return manager->readyForHandOver(); }));
    auto handOver = manager->handOver();
    ASSERT_EQ(handOver.requests.size(), 1u);
    EXPECT_EQ(handOver.requests[0].metadata.task, "task");
    manager->takeBack(handOver.requests[0].metadata);
    manager->resume();
    manager->sendResult(Reply(boost::uuids::string_generator()(requestId), Result("{}", true)));
    ASSERT_TRUE(waitForMessages(server, 2));
    EXPECT_EQ(server.allReceived().back(), resultOf("", 5, "task"));
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
