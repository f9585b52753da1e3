#include "api/APIManager.hpp"

#include "ApiTestHelpers.hpp"
#include "support/FakeApiServer.hpp"

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;
using apiTest::ClogCapture;
using apiTest::runUntil;
using testSupport::FakeApiServer;
using Lines = std::vector<std::string>;

std::string const requestId = "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";

std::string execute(unsigned long unitId, std::string const& task, unsigned long actionId)
{
    return "{\"type\":\"execute\",\"data\":{\"test_id\":\"" + requestId +
           "\",\"unit_id\":" + std::to_string(unitId) + ",\"task\":\"" + task +
           "\",\"action_id\":" + std::to_string(actionId) + "}}";
}

class APIManagerTest : public ::testing::Test
{
protected:
    // Every API server is the one fake behind 127.0.0.1; the validator address has no server.
    void SetUp() override
    {
        APIOptions const options{"127.0.0.1", "127.0.0.2", std::to_string(server.endpoint().port()),
                                 std::chrono::hours(1)};
        manager = std::make_unique<APIManager>(
            io, options, [this](ITestRequest& request) { onRequest(request); },
            [](unsigned long) { return false; }, APISessionTimings{20ms}, StatusTimings{1h, 1h, 10s},
            runningLimit);
        ASSERT_TRUE(waitForMessages(server, 1)); // the request session's registration
    }

    // The pool follows one host name, which cannot be made to name several loopback servers
    // here, so further servers join the pool as a resolution would add them.
    void addToPool(FakeApiServer const& other)
    {
        auto& pool = manager->getContainer();
        addNewClients(pool.sessions, apiTest::makeResults("api-all.example.test", {other.endpoint()}),
                      pool.factory);
        ASSERT_TRUE(waitForMessages(other, 1));
    }

    bool waitForMessages(FakeApiServer const& peer, std::size_t count)
    {
        return runUntil(io, [&] { return peer.allReceived().size() >= count; });
    }

    void settle() { runUntil(io, [] { return false; }, 100ms); }

    void onRequest(ITestRequest& request)
    {
        forwarded.push_back(request.getProbeId());
        if (unreachable)
            manager->sendResult(Reply(request.getId(), Error(Error::UNREACHABLE, "")));
    }

    boost::uuids::uuid const id = boost::uuids::string_generator()(requestId);
    boost::asio::io_context io;
    ClogCapture log;
    FakeApiServer server{io};
    std::vector<unsigned long> forwarded;
    bool unreachable = false;
    std::size_t runningLimit = APIManager::maxRunningBytes;
    std::unique_ptr<APIManager> manager;
};

// Room for two running requests of a short task.
class APIManagerLimitTest : public APIManagerTest
{
protected:
    void SetUp() override
    {
        runningLimit = 300;
        APIManagerTest::SetUp();
    }
};

TEST_F(APIManagerTest, DuplicatedRunningIdIsRefusedWithItsOwnMetadata)
{
    server.send(execute(12, "ping", 3));
    server.send(execute(13, "trace", 4));
    ASSERT_TRUE(waitForMessages(server, 2));
    settle();

    EXPECT_EQ(forwarded, std::vector<unsigned long>{12});
    EXPECT_EQ(server.allReceived().size(), 2u);
    EXPECT_EQ(server.allReceived()[1],
              "{\"type\":\"execute\",\"data\":{\"status\":\"error\",\"data\":{\"code\":\"UNKNOWN\","
              "\"message\":\"Duplicated message ID\"},\"test_id\":\"" + requestId +
                  "\",\"unit_id\":13,\"task\":\"trace\",\"action_id\":4}}");
    EXPECT_EQ(log.linesStartingWith("API: "),
              Lines{"API: received request to run requestId:" + requestId + " in unitId:12"});

    // The running request is untouched: its own result carries its metadata and ends it.
    manager->sendResult(Reply(id, Result("{\"rtt\":5}", true)));
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(server.allReceived()[2], "{\"type\":\"execute\",\"data\":{\"rtt\":5,\"test_id\":\"" +
                                           requestId +
                                           "\",\"unit_id\":12,\"task\":\"ping\",\"action_id\":3}}");
    EXPECT_EQ(log.linesStartingWith("API: sent result"),
              Lines{"API: sent result for requestId:" + requestId + " and is last: 1"});
    EXPECT_FALSE(manager->isRunning(id));
}

TEST_F(APIManagerTest, UnreachableUnitIsAnsweredAtOnceAndFreesTheId)
{
    unreachable = true;
    server.send(execute(12, "ping", 3));
    ASSERT_TRUE(waitForMessages(server, 2));

    EXPECT_EQ(server.allReceived()[1],
              "{\"type\":\"execute\",\"data\":{\"status\":\"error\",\"data\":{\"code\":"
              "\"UNREACHABLE\",\"message\":\"\"},\"test_id\":\"" + requestId +
                  "\",\"unit_id\":12,\"task\":\"ping\",\"action_id\":3}}");
    EXPECT_EQ(log.linesStartingWith("API: "),
              (Lines{"API: received request to run requestId:" + requestId + " in unitId:12",
                     "API: sent result for requestId:" + requestId + " and is last: 1"}));
    EXPECT_FALSE(manager->isRunning(id));

    server.send(execute(12, "ping", 3));
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(forwarded, (std::vector<unsigned long>{12, 12}));
}

TEST_F(APIManagerLimitTest, RequestsBeyondTheRunningLimitAreRefused)
{
    auto const numbered = [](int n)
    {
        return "{\"type\":\"execute\",\"data\":{\"test_id\":\"0f1e2d3c-4b5a-6978-8796-"
               "a5b4c3d2e1f" + std::to_string(n) +
               "\",\"unit_id\":5,\"task\":\"t\",\"action_id\":1}}";
    };
    for (int n = 1; n <= 3; ++n)
        server.send(numbered(n));
    ASSERT_TRUE(waitForMessages(server, 2));
    settle();

    EXPECT_EQ(forwarded, (std::vector<unsigned long>{5, 5}));
    EXPECT_EQ(server.allReceived().back(),
              "{\"type\":\"execute\",\"data\":{\"status\":\"error\",\"data\":{\"code\":\"UNKNOWN\","
              "\"message\":\"Too many running requests\"},\"test_id\":\"0f1e2d3c-4b5a-6978-8796-"
              "a5b4c3d2e1f3\",\"unit_id\":5,\"task\":\"t\",\"action_id\":1}}");
    EXPECT_EQ(log.count("API: too many running requests, refused requestId:0f1e2d3c-4b5a-6978-"
                        "8796-a5b4c3d2e1f3"),
              1u);
}

TEST_F(APIManagerTest, ResultsGoToEveryServerAndUnknownIdsNowhere)
{
    FakeApiServer second(io);
    FakeApiServer third(io);
    addToPool(second);
    addToPool(third);
    server.send(execute(12, "ping", 3));
    ASSERT_TRUE(runUntil(io, [&] { return !forwarded.empty(); }));

    // A device text that is not JSON reaches the caller; the request stays running, unlogged.
    EXPECT_THROW(manager->sendResult(Reply(id, Result("hop", true))), std::runtime_error);
    EXPECT_TRUE(manager->isRunning(id));
    EXPECT_TRUE(log.linesStartingWith("API: sent result").empty());

    manager->sendResult(Reply(id, Result("{\"hop\":1}", false)));
    std::string const result = "{\"type\":\"execute\",\"data\":{\"hop\":1,\"test_id\":\"" +
                               requestId + "\",\"unit_id\":12,\"task\":\"ping\",\"action_id\":3}}";
    for (auto const* peer : {&server, &second, &third})
    {
        ASSERT_TRUE(waitForMessages(*peer, 2));
        EXPECT_EQ(peer->allReceived()[1], result);
    }
    EXPECT_TRUE(manager->isRunning(id));

    auto const linesBefore = log.lines().size();
    auto const other = boost::uuids::string_generator()("00000000-0000-0000-0000-000000000001");
    manager->sendResult(Reply(other, Result("{\"hop\":2}", true)));
    settle();
    for (auto const* peer : {&server, &second, &third})
        EXPECT_EQ(peer->allReceived().size(), 2u);
    EXPECT_EQ(log.lines().size(), linesBefore);
}

} // namespace
} // namespace kelvarin::triggerTesting
