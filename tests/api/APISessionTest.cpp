#include "api/APISession.hpp"
#include "api/APISessionMessages.hpp"

#include "ApiTestHelpers.hpp"
#include "support/FakeApiServer.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::chrono_literals;
using apiTest::ClogCapture;
using apiTest::runUntil;
using apiTest::toString;
using boost::asio::ip::tcp;
using testSupport::FakeApiServer;

TEST(APISessionMessages, RegistrationCarriesTheHostNameAsAJsonString)
{
    EXPECT_EQ(buildRegistrationMessage("ctrl-07.lab.example"),
              "{\"type\":\"register\",\"data\":{\"name\":\"ctrl-07.lab.example\"}}");
    EXPECT_EQ(buildRegistrationMessage("a\"b\\c"),
              "{\"type\":\"register\",\"data\":{\"name\":\"a\\\"b\\\\c\"}}");
}

TEST(APISessionMessages, IsOnlineAnswer)
{
    EXPECT_EQ(buildIsOnlineAnswer(42, true),
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":42,\"result\":true}}");
    EXPECT_EQ(buildIsOnlineAnswer(18446744073709551615UL, false),
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":18446744073709551615,"
              "\"result\":false}}");
}

TEST(APISessionMessages, ProductionRetryDelayIsOneSecond)
{
    EXPECT_EQ(APISession::Timings{}.retryDelay, std::chrono::seconds(1));
}

struct ReceivedRequest
{
    std::string id;
    unsigned long unitId;
    std::string data;
};

class APISessionTest : public ::testing::Test
{
protected:
    std::shared_ptr<APISession> makeSession(tcp::endpoint endpoint,
                                            std::chrono::milliseconds retry = 20ms)
    {
        return std::make_shared<APISession>(
            io, "api-all.example.test", endpoint,
            [this](ITestRequest& request)
            {
                requests.push_back({boost::uuids::to_string(request.getId()),
                                    request.getProbeId(), request.getData()});
            },
            [this](unsigned long unitId) { return unitId == onlineUnit; },
            APISession::Timings{retry});
    }

    // As the pool does it: socket opened with keep-alive, then started.
    std::shared_ptr<APISession> startSession(tcp::endpoint endpoint,
                                             std::chrono::milliseconds retry = 20ms)
    {
        auto session = makeSession(endpoint, retry);
        EXPECT_FALSE(session->openSocket());
        session->start();
        return session;
    }

    bool waitForMessages(FakeApiServer const& server, std::size_t count)
    {
        return runUntil(io, [&] { return server.allReceived().size() >= count; });
    }

    // Gives the loop time to do something it must not do.
    void settle() { runUntil(io, [] { return false; }, 100ms); }

    std::string registration() const
    {
        return "{\"type\":\"register\",\"data\":{\"name\":\"" + boost::asio::ip::host_name() +
               "\"}}";
    }

    boost::asio::io_context io;
    ClogCapture log;
    std::vector<ReceivedRequest> requests;
    unsigned long onlineUnit = 7;
};

TEST_F(APISessionTest, RegistersFirstWithTheAllHostNameInTheHandshake)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(waitForMessages(server, 1));

    EXPECT_EQ(server.newest().host, "api-all.example.test");
    EXPECT_EQ(server.newest().target, "/");
    EXPECT_EQ(server.newest().received, std::vector<std::string>{registration()});
    EXPECT_TRUE(session->isConnected());
    std::string const endpoint = toString(server.endpoint());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Connecting main: " + endpoint,
                                                     "Connected main: " + endpoint}));
}

TEST_F(APISessionTest, ExecuteGoesToTheRequestHandler)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(waitForMessages(server, 1));

    std::string const execute =
        "{\"type\":\"execute\",\"data\":{\"test_id\":\"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\","
        "\"unit_id\":12,\"task\":\"ping\",\"action_id\":3,\"extra\":[1,2]}}";
    server.send(execute);
    ASSERT_TRUE(runUntil(io, [&] { return !requests.empty(); }));

    EXPECT_EQ(requests[0].id, "0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0");
    EXPECT_EQ(requests[0].unitId, 12u);
    EXPECT_EQ(requests[0].data, "{\"test_id\":\"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0\","
                                "\"unit_id\":12,\"task\":\"ping\",\"action_id\":3,\"extra\":[1,2]}");
    EXPECT_EQ(log.count("Received message from API: ---" + execute + "---"), 1u);
    EXPECT_EQ(log.count("Couldn't parse message"), 0u);
    settle();
    EXPECT_EQ(server.allReceived().size(), 1u); // nothing is answered for a request
}

TEST_F(APISessionTest, IsOnlineIsAnsweredByTheSession)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(waitForMessages(server, 1));

    server.send("{\"type\":\"isOnline\",\"data\":{\"unit_id\":7}}");
    server.send("{\"type\":\"isOnline\",\"data\":{\"unit_id\":8,\"more\":true}}");
    ASSERT_TRUE(waitForMessages(server, 3));

    EXPECT_EQ(server.allReceived()[1],
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":7,\"result\":true}}");
    EXPECT_EQ(server.allReceived()[2],
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":8,\"result\":false}}");
    EXPECT_EQ(log.count("Writing message to API: ---" + server.allReceived()[1] + "---"), 1u);
    EXPECT_TRUE(requests.empty());
}

TEST_F(APISessionTest, UnparsableMessagesAreLoggedAndTheConnectionStays)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(waitForMessages(server, 1));

    server.send("not json");
    server.send("{\"type\":\"status\",\"data\":{\"unit_id\":7}}");
    // An "execute" that fails its checks is not taken for anything else either.
    server.send("{\"type\":\"execute\",\"data\":{\"test_id\":\"0f1e2d3c-4b5a-6978-8796-"
                "a5b4c3d2e1f0\",\"unit_id\":12,\"action_id\":3}}");
    server.send("{\"type\":\"isOnline\",\"data\":{\"unit_id\":7}}");
    ASSERT_TRUE(waitForMessages(server, 2));

    EXPECT_EQ(log.count("Couldn't parse message"), 3u);
    EXPECT_EQ(log.count("Received message from API: ---not json---"), 1u);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_EQ(server.allReceived()[1],
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":7,\"result\":true}}");
}

TEST_F(APISessionTest, MessagesQueuedWhileConnectedGoOutInOrder)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(waitForMessages(server, 1));

    for (int i = 1; i <= 5; ++i)
        session->sendResult("{\"n\":" + std::to_string(i) + "}");
    ASSERT_TRUE(waitForMessages(server, 6));
    settle();

    EXPECT_EQ(server.allReceived(),
              (std::vector<std::string>{registration(), "{\"n\":1}", "{\"n\":2}", "{\"n\":3}",
                                        "{\"n\":4}", "{\"n\":5}"}));
    EXPECT_TRUE(session->getWriteQueue().empty());
}

TEST_F(APISessionTest, ResultsQueuedWhileTheServerIsDownFollowTheNextRegistrationOnce)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    auto session = makeSession(server.endpoint());
    session->sendResult("{\"r\":1}");
    ASSERT_FALSE(session->openSocket());
    session->start();
    ASSERT_TRUE(runUntil(io, [&] { return log.linesStartingWith("Connecting wait: ").size() >= 2; }));
    session->sendResult("{\"r\":2}");
    session->enqueueMessage("{\"r\":3}");
    EXPECT_EQ(session->getWriteQueue().size(), 3u);

    server.setRejecting(false);
    ASSERT_TRUE(waitForMessages(server, 4));
    settle();
    EXPECT_EQ(server.allReceived(), (std::vector<std::string>{registration(), "{\"r\":1}",
                                                              "{\"r\":2}", "{\"r\":3}"}));

    // Written messages are gone: a new connection gets only the registration.
    server.closeNewest();
    ASSERT_TRUE(runUntil(io, [&] { return server.connectionCount() == 2; }));
    ASSERT_TRUE(waitForMessages(server, 5));
    settle();
    EXPECT_EQ(server.newest().received, std::vector<std::string>{registration()});
    EXPECT_EQ(server.allReceived().size(), 5u);
}

TEST_F(APISessionTest, RefusedServerIsRetriedWithTwoLinesEachTime)
{
    tcp::endpoint const endpoint = apiTest::refusingEndpoint(io);
    auto session = startSession(endpoint, 10ms);
    ASSERT_TRUE(runUntil(io, [&] { return log.linesStartingWith("Connecting wait: ").size() >= 3; }));

    std::string const main = "Connecting main: " + toString(endpoint);
    std::string const wait =
        "Connecting wait: " + toString(endpoint) + " " +
        boost::asio::error::make_error_code(boost::asio::error::connection_refused).message();
    auto const lines = log.lines();
    ASSERT_GE(lines.size(), 6u);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(lines[i], i % 2 == 0 ? main : wait) << i;
}

TEST_F(APISessionTest, ServerThatClosesIsContactedAgainAtOnce)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint(), 1h); // a wait would never end in time
    ASSERT_TRUE(waitForMessages(server, 1));

    server.closeNewest();
    ASSERT_TRUE(runUntil(io, [&] { return server.allReceived().size() == 2; }));

    EXPECT_EQ(server.connectionCount(), 2u);
    EXPECT_EQ(server.newest().received, std::vector<std::string>{registration()});
    std::string const endpoint = toString(server.endpoint());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Connecting main: " + endpoint, "Connected main: " + endpoint,
                               "Connecting main: " + endpoint, "Connected main: " + endpoint}));
}

TEST_F(APISessionTest, StoppedSessionEndsSilentlyAndIsReleased)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(waitForMessages(server, 1));
    auto const linesBefore = log.lines().size();

    session->stop();
    session->sendResult("{\"late\":1}");
    ASSERT_TRUE(runUntil(io, [&] { return session.use_count() == 1; }));
    settle();

    EXPECT_TRUE(session->isStopped());
    EXPECT_FALSE(session->isConnected());
    EXPECT_EQ(log.lines().size(), linesBefore);
    EXPECT_EQ(server.connectionCount(), 1u);
    EXPECT_EQ(server.allReceived().size(), 1u);
}

TEST_F(APISessionTest, RunningOutOfDescriptorsIsAFailedAttemptNotTheEnd)
{
    FakeApiServer server(io);
    auto session = makeSession(server.endpoint());
    std::string const endpoint = toString(server.endpoint());
    {
        apiTest::DescriptorExhaustion exhaustion;
        session->start();
        ASSERT_TRUE(runUntil(io, [&] { return !log.linesStartingWith("Connecting wait: ").empty(); }));
    }
    EXPECT_EQ(log.lines()[1],
              "Connecting wait: " + endpoint + " " +
                  boost::system::error_code(EMFILE, boost::system::system_category()).message());
    ASSERT_TRUE(waitForMessages(server, 1));
    EXPECT_TRUE(session->isConnected());
}

} // namespace
} // namespace kelvarin::triggerTesting
