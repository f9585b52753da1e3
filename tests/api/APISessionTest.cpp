#include "api/APISession.hpp"

#include "api/APISessionMessages.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/host_name.hpp>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

class APISessionTest : public LoopTest
{
protected:
    // As the pool does it: socket opened with keep-alive, then started.
    std::shared_ptr<APISession> startSession(tcp::endpoint endpoint, std::size_t queueLimit = 0,
                                             std::chrono::milliseconds idleTimeout = 10s)
    {
        auto session = std::make_shared<APISession>(
            io, "api-all.example.test", endpoint, [](ITestRequest &) {},
            [](unsigned long) { return false; }, APISession::Timings{20ms, 10s, idleTimeout},
            std::make_shared<APIQueueBudget>(io, queueLimit));
        EXPECT_FALSE(session->openSocket());
        session->start();
        return session;
    }

    std::string const registration =
        "{\"type\":\"register\",\"data\":{\"name\":\"" + boost::asio::ip::host_name() + "\"}}";
};

TEST_F(APISessionTest, ResultsQueuedWhileTheServerIsDownFollowTheNextRegistrationOnce)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    auto session = startSession(server.endpoint());
    session->sendResult("{\"r\":1}");
    ASSERT_TRUE(runUntil([&] { return log.linesStartingWith("Connecting wait: ").size() >= 2; }));
    session->enqueueMessage("{\"r\":2}");
    EXPECT_EQ(session->queuedMessages(), 2u);

    server.setRejecting(false);
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(server.allReceived(), (Lines{registration, "{\"r\":1}", "{\"r\":2}"}));
    // Written messages are gone: a new connection gets the registration and what comes next.
    server.closeNewest();
    ASSERT_TRUE(waitForMessages(server, 4));
    session->sendResult("{\"r\":3}");
    ASSERT_TRUE(waitForMessages(server, 5));
    EXPECT_EQ(server.connectionCount(), 2u);
    EXPECT_EQ(server.newest().received, (Lines{registration, "{\"r\":3}"}));
}

TEST_F(APISessionTest, RefusedServerIsRetriedWithTwoLinesEachTime)
{
    RefusingPort const port(io);
    tcp::endpoint const endpoint = port.endpoint();
    auto session = startSession(endpoint);
    ASSERT_TRUE(runUntil([&] { return log.linesStartingWith("Connecting wait: ").size() >= 2; }));
    std::string const main = "Connecting main: " + toString(endpoint);
    std::string const wait =
        "Connecting wait: " + toString(endpoint) + " " +
        boost::asio::error::make_error_code(boost::asio::error::connection_refused).message();
    auto const lines = log.lines();
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 4), (Lines{main, wait, main, wait}));
}

TEST_F(APISessionTest, RunningOutOfDescriptorsIsAFailedAttemptNotTheEnd)
{
    FakeApiServer server(io);
    auto session = std::make_shared<APISession>(
        io, "api", server.endpoint(), [](ITestRequest &) {}, [](unsigned long) { return false; },
        APISession::Timings{20ms});
    {
        DescriptorExhaustion exhaustion;
        session->start();
        ASSERT_TRUE(runUntil([&] { return log.lines().size() >= 2; }));
    }
    EXPECT_EQ(log.lines()[1],
              "Connecting wait: " + toString(server.endpoint()) + " " +
                  boost::system::error_code(EMFILE, boost::system::system_category()).message());
    ASSERT_TRUE(waitForMessages(server, 1));
    EXPECT_TRUE(session->isConnected());
}

TEST_F(APISessionTest, ServerThatFallsSilentIsLeftAndContactedAgain)
{
    FakeApiServer server(io);
    server.setReading(false); // reads nothing, answers no ping
    auto session = startSession(server.endpoint(), 0, 200ms);
    ASSERT_TRUE(runUntil([&] { return server.connectionCount() >= 2; }));
    // A lost connection, not a failed attempt.
    EXPECT_TRUE(log.linesStartingWith("Connecting wait: ").empty());
}

// When the drop lines are written is the budget's test; here, what a session holds.
TEST_F(APISessionTest, FullQueueDropsTheOldestAndCountsWhatItHolds)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    auto const message = [](int n) { return "{\"n\":" + std::to_string(n) + "}"; };
    std::size_t const entry = queueEntryCost(message(1));
    auto session = startSession(server.endpoint(), 3 * entry);
    for (int n = 1; n <= 6; ++n)
        session->sendResult(message(n));
    session->sendResult(std::string(3 * entry, 'x')); // never fits: dropped itself
    EXPECT_EQ(session->droppedMessages(), 4u);
    EXPECT_EQ(session->queuedMessages(), 3u);
    EXPECT_EQ(session->queuedBytes(), 21u);
    EXPECT_EQ(session->queueCost(), 3 * entry);

    server.setRejecting(false);
    ASSERT_TRUE(waitForMessages(server, 4));
    EXPECT_EQ(server.allReceived(), (Lines{registration, message(4), message(5), message(6)}));
    EXPECT_EQ(session->queuedBytes(), 0u);
    EXPECT_EQ(session->queueCost(), 0u);
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
