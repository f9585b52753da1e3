#include "api/APIQueueBudget.hpp"

#include "api/APISession.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/ip/host_name.hpp>

#include <algorithm>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::tcp;

std::string message(int n)
{
    return "{\"n\":" + std::to_string(n) + "}";
}

TEST(QueueEntryCostTest, CountsWhatIsAllocatedNotJustTheText)
{
    std::string text(100, 'x');
    text.reserve(4096);
    // The room a result message was built in is held as long as the message.
    EXPECT_GT(queueEntryCost(text), 4096u);
    // Even a text kept inside its string costs the shared block and the queue slot.
    EXPECT_GE(queueEntryCost(message(1)),
              sizeof(std::string) + sizeof(std::shared_ptr<std::string const>));
    EXPECT_EQ(queueEntryCost(message(1)), queueEntryCost(message(22)));
}

// Sessions of one pool sharing a budget, to API servers that are down until a test lets them
// in, or to addresses that refuse.
class APIQueueBudgetTest : public LoopTest
{
protected:
    std::shared_ptr<APISession> startSession(tcp::endpoint endpoint)
    {
        auto session = std::make_shared<APISession>(
            io, "api-all", endpoint, [](ITestRequest &) {}, [](unsigned long) { return false; },
            APISession::Timings{20ms}, budget);
        EXPECT_FALSE(session->openSocket());
        session->start();
        return session;
    }
    void useLimit(std::size_t entries)
    {
        budget = std::make_shared<APIQueueBudget>(io, entries * entry);
    }
    std::vector<std::string> dropLines() const { return log.linesStartingWith("API 127.0.0.1:"); }

    std::size_t const entry = queueEntryCost(message(0));
    std::shared_ptr<APIQueueBudget> budget;
    std::string const registration =
        "{\"type\":\"register\",\"data\":{\"name\":\"" + boost::asio::ip::host_name() + "\"}}";
};

TEST_F(APIQueueBudgetTest, TheSessionHoldingTheMostLosesItsOldestFirst)
{
    useLimit(6);
    std::vector<std::unique_ptr<FakeApiServer>> servers;
    std::vector<std::shared_ptr<APISession>> sessions;
    for (auto const *address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
    {
        servers.push_back(std::make_unique<FakeApiServer>(io, address));
        servers.back()->setRejecting(true);
        sessions.push_back(startSession(servers.back()->endpoint()));
    }
    auto const &a = sessions[0], &b = sessions[1], &c = sessions[2];
    for (int n : {1, 2, 3})
        a->sendResult(message(n));
    b->sendResult(message(4));
    b->sendResult(message(5));
    c->sendResult(message(6));
    EXPECT_EQ(budget->spent(), 6 * entry);

    c->sendResult(message(7)); // a holds the most: its oldest goes
    b->sendResult(message(8)); // now b does
    EXPECT_EQ(budget->spent(), 6 * entry);
    EXPECT_EQ(a->droppedMessages(), 1u);
    EXPECT_EQ(b->droppedMessages(), 1u);
    EXPECT_EQ(c->droppedMessages(), 0u);
    ASSERT_TRUE(runUntil([&] { return log.linesStartingWith("API 127.0.0.").size() == 1; }));
    EXPECT_EQ(log.linesStartingWith("API 127.0.0.")[0],
              "API " + toString(servers[0]->endpoint()) +
                  ": queue full, dropped 1 messages, and 1 from 1 other sessions");

    for (auto &server : servers)
        server->setRejecting(false);
    // A message is paid back once written, which may be before its server has read it.
    auto const allReadThree = [&]
    {
        return std::all_of(servers.begin(), servers.end(),
                           [](auto const &server) { return server->allReceived().size() >= 3; });
    };
    ASSERT_TRUE(runUntil([&] { return budget->spent() == 0 && allReadThree(); }));
    EXPECT_EQ(servers[0]->allReceived(), (Lines{registration, message(2), message(3)}));
    EXPECT_EQ(servers[1]->allReceived(), (Lines{registration, message(5), message(8)}));
    EXPECT_EQ(servers[2]->allReceived(), (Lines{registration, message(6), message(7)}));
}

TEST_F(APIQueueBudgetTest, OneDropLineASecondForAllSessionsTogether)
{
    useLimit(10);
    std::vector<std::unique_ptr<RefusingPort>> ports;
    std::vector<std::shared_ptr<APISession>> sessions;
    for (int i = 0; i < 10; ++i)
    {
        ports.push_back(std::make_unique<RefusingPort>(io));
        sessions.push_back(startSession(ports.back()->endpoint()));
    }
    auto const fanOut = [&](int n)
    {
        for (auto const &session : sessions)
            session->sendResult(message(n));
    };
    // The first round fills the budget; in each further one every session loses one.
    for (int n = 1; n <= 5; ++n)
        fanOut(n);
    auto const beforeFirstLine = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil([&] { return dropLines().size() == 1; }));
    EXPECT_EQ(dropLines()[0], "API " + toString(sessions[0]->getEndpoint()) +
                                  ": queue full, dropped 4 messages, and 36 from 9 other sessions");

    // Drops over several turns within the next second make one line at its end, naming the
    // session that dropped the most.
    fanOut(6);
    runUntil([] { return false; }, 5ms); // another turn, well within the second
    sessions[7]->sendResult(message(7));
    sessions[7]->sendResult(message(8));
    EXPECT_EQ(dropLines().size(), 1u);
    ASSERT_TRUE(runUntil([&] { return dropLines().size() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - beforeFirstLine, 1s);
    EXPECT_EQ(dropLines()[1], "API " + toString(sessions[7]->getEndpoint()) +
                                  ": queue full, dropped 3 messages, and 9 from 9 other sessions");
    EXPECT_EQ(budget->spent(), 10 * entry);
}

TEST_F(APIQueueBudgetTest, AStoppedSessionGivesBackAtOnceAndAGoneOneIsStillTold)
{
    useLimit(4);
    RefusingPort const portOfA(io), portOfB(io);
    auto a = startSession(portOfA.endpoint());
    auto b = startSession(portOfB.endpoint());
    for (int n = 1; n <= 5; ++n)
        a->sendResult(message(n));
    ASSERT_TRUE(runUntil([&] { return dropLines().size() == 1; }));

    // a drops two more within the second and is removed from the pool before its end.
    a->sendResult(message(6));
    a->sendResult(message(7));
    auto const endpointOfA = toString(a->getEndpoint());
    a->stop();
    EXPECT_EQ(budget->spent(), 0u);
    std::weak_ptr<APISession> gone = a;
    a.reset();
    ASSERT_TRUE(runUntil([&] { return gone.expired(); }));
    b->sendResult(message(8));
    EXPECT_EQ(budget->spent(), entry);
    ASSERT_TRUE(runUntil([&] { return dropLines().size() == 2; }));
    EXPECT_EQ(dropLines()[1], "API " + endpointOfA + ": queue full, dropped 2 messages");
}

TEST_F(APIQueueBudgetTest, TheMessageBeingWrittenStaysWhateverElseGoes)
{
    FakeApiServer server(io);
    server.setReading(false);
    std::string const large(32 << 20, 'L'); // more than the socket buffers take
    std::size_t const largeEntry = queueEntryCost(large);
    budget = std::make_shared<APIQueueBudget>(io, largeEntry + 2 * entry);
    auto session = startSession(server.endpoint());
    ASSERT_TRUE(runUntil([&] { return session->isConnected(); }));
    session->sendResult(large);
    // Its write has begun and waits for the server.
    ASSERT_TRUE(runUntil([&] { return !session->atHandOverPoint(); }));
    for (int n = 1; n <= 3; ++n)
        session->sendResult(message(n));
    EXPECT_EQ(session->droppedMessages(), 1u);
    EXPECT_EQ(budget->spent(), largeEntry + 2 * entry);

    server.setReading(true);
    ASSERT_TRUE(runUntil([&] { return server.allReceived().size() == 4; }, 20s));
    EXPECT_EQ(server.allReceived(), (Lines{registration, large, message(2), message(3)}));
    ASSERT_TRUE(runUntil([&] { return budget->spent() == 0; }));
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
