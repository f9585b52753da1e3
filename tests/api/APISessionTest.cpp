#include "api/APISession.hpp"

#include "api/APISessionContainer.hpp"
#include "api/APISessionMessages.hpp"
#include "api/APIWriteQueue.hpp"
#include "api/PeriodicResolver.hpp"
#include "common/EndpointText.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <algorithm>
#include <unistd.h>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
namespace websocket = boost::beast::websocket;

std::string message(int n)
{
    return "{\"n\":" + std::to_string(n) + "}";
}

std::string serverFrame(std::string const &payload)
{
    return webSocketFrame(payload, false, true, 1);
}

std::string isOnlineQuery(int unit)
{
    return "{\"type\":\"isOnline\",\"data\":{\"unit_id\":" + std::to_string(unit) + "}}";
}

// An API server on loopback with one connection, whose frames the test writes byte by byte
// straight into the socket, and which records every message and whether the connection ended.
class RawApiServer
{
public:
    explicit RawApiServer(boost::asio::io_context &io)
        : acceptor(io, {boost::asio::ip::make_address("127.0.0.1"), 0}), ws(io)
    {
        acceptor.async_accept(ws.next_layer(),
                              [this](boost::system::error_code ec)
                              {
                                  if (!ec)
                                      ws.async_accept([this](auto ec) { onAccepted(ec); });
                              });
    }

    tcp::endpoint endpoint() const { return acceptor.local_endpoint(); }
    void writeRaw(std::string const &bytes)
    {
        boost::asio::write(ws.next_layer(), boost::asio::buffer(bytes));
    }

    std::vector<std::string> received;
    bool ended = false;
    int accepted = 0;

private:
    void onAccepted(boost::system::error_code ec)
    {
        if (ec)
            return;
        ++accepted;
        readNext();
    }
    void readNext()
    {
        ws.async_read(buffer,
                      [this](boost::system::error_code ec, std::size_t)
                      {
                          if (ec)
                          {
                              ended = true;
                              return;
                          }
                          received.push_back(boost::beast::buffers_to_string(buffer.data()));
                          buffer.consume(buffer.size());
                          readNext();
                      });
    }

    tcp::acceptor acceptor;
    websocket::stream<tcp::socket> ws;
    boost::beast::flat_buffer buffer;
};

// API sessions on the test's loop, sharing one queue budget (unbounded unless a test sets a
// limit), whose device side is asked whether a unit is online (every unit but 2 is).
class APISessionTest : public LoopTest
{
protected:
    std::shared_ptr<APISession> makeSession(tcp::endpoint endpoint,
                                            std::string const &host = "api-all.example.test",
                                            std::chrono::milliseconds idleTimeout = 10s)
    {
        return std::make_shared<APISession>(
            io, host, endpoint, [](ITestRequest &) {},
            [this](unsigned long unit)
            {
                asked.push_back(unit);
                return unit != 2;
            },
            APISession::Timings{20ms, 10s, idleTimeout}, budget);
    }

    // As the pool does it: socket opened with keep-alive, then started.
    std::shared_ptr<APISession> startSession(tcp::endpoint endpoint,
                                             std::chrono::milliseconds idleTimeout = 10s)
    {
        auto session = makeSession(endpoint, "api-all.example.test", idleTimeout);
        EXPECT_FALSE(session->openSocket());
        session->start();
        return session;
    }

    // A session connected to the server and past its registration, or null.
    std::shared_ptr<APISession> registeredSession(RawApiServer &server)
    {
        auto session = startSession(server.endpoint());
        return runUntil([&] { return server.received.size() == 1; }) ? session : nullptr;
    }

    void useLimit(std::size_t entries)
    {
        budget = std::make_shared<APIQueueBudget>(io, entries * entry);
    }
    std::vector<std::string> dropLines() const { return log.linesStartingWith("API 127.0.0.1:"); }
    // Queues of sessions to 127.0.0.1, ports 1 to count, on the budget.
    std::vector<std::unique_ptr<APIWriteQueue>> makeQueues(std::size_t count)
    {
        std::vector<std::unique_ptr<APIWriteQueue>> queues;
        for (std::size_t port = 1; port <= count; ++port)
            queues.push_back(std::make_unique<APIWriteQueue>(
                budget, tcp::endpoint(boost::asio::ip::address_v4::loopback(), port)));
        return queues;
    }

    std::size_t const entry = queueEntryCost(message(0));
    std::shared_ptr<APIQueueBudget> budget = std::make_shared<APIQueueBudget>(io, 0);
    std::vector<unsigned long> asked;
    std::string const registration =
        "{\"type\":\"register\",\"data\":{\"name\":\"" + boost::asio::ip::host_name() + "\"}}";
};

using APIQueueBudgetTest = APISessionTest;
using APISessionHandOverTest = APISessionTest;

TEST_F(APISessionTest, ResultsQueuedWhileTheServerIsDownFollowTheNextRegistrationOnce)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    auto session = startSession(server.endpoint());
    session->sendResult("{\"r\":1}");
    ASSERT_TRUE(runUntil([&] { return log.linesStartingWith("Connecting wait: ").size() >= 2; }));
    session->enqueueMessage("{\"r\":2}");

    server.setRejecting(false);
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(server.allReceived(), (Lines{registration, "{\"r\":1}", "{\"r\":2}"}));
    ASSERT_TRUE(runUntil([&] { return session->queueCost() == 0; })); // paid back once written
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
    auto session = makeSession(server.endpoint());
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
    auto session = startSession(server.endpoint(), 200ms);
    ASSERT_TRUE(runUntil([&] { return server.connectionCount() >= 2; }));
    // A lost connection, not a failed attempt.
    EXPECT_TRUE(log.linesStartingWith("Connecting wait: ").empty());
}

TEST(QueueEntryCostTest, CountsWhatIsAllocatedNotJustTheText)
{
    std::string text(100, 'x');
    text.reserve(4096);
    // The room a result message was built in is held as long as the message.
    EXPECT_GT(queueEntryCost(HeldText(std::move(text))), 4096u);
    // Even a text kept inside its string costs the shared block and the queue slot.
    EXPECT_GE(queueEntryCost(message(1)), sizeof(HeldText) + sizeof(SharedText));
    EXPECT_EQ(queueEntryCost(message(1)), queueEntryCost(message(22)));
}

// Queues sharing one budget, as the sessions of the pool do. Messages by number; 100 is one
// larger than most, 101 one larger than the whole budget.
TEST_F(APIQueueBudgetTest, WhatGoesWhenTheQueuesHoldTooMuch)
{
    auto const text = [this](int n) {
        return n == 100   ? std::string(4096, 'L')
               : n == 101 ? std::string(3 * entry, 'x')
                          : message(n);
    };
    struct Row
    {
        char const *name;
        std::size_t limit;
        std::vector<std::pair<std::size_t, int>> pushes; // queue, message
        int written; // the write of the queue's front begins once it is queued
        std::vector<std::vector<int>> kept; // each queue's
        std::vector<std::uint64_t> dropped;
    };
    std::vector<Row> const rows{
        {"a full queue loses its oldest, and one larger than the budget goes itself",
         3 * entry,
         {{0, 1}, {0, 2}, {0, 3}, {0, 4}, {0, 5}, {0, 6}, {0, 101}},
         0,
         {{4, 5, 6}},
         {4}},
        {"the queue holding the most loses its oldest first",
         6 * entry,
         {{0, 1}, {0, 2}, {0, 3}, {1, 4}, {1, 5}, {2, 6}, {2, 7}, {1, 8}},
         0,
         {{2, 3}, {5, 8}, {6, 7}},
         {1, 1, 0}},
        {"every message of a write under way stays, however long it takes",
         3 * entry,
         {{0, 1}, {0, 2}, {0, 3}, {0, 4}},
         2,
         {{1, 2, 4}},
         {1}},
        {"what is being written stays, and when nothing else of the heaviest can go, the next "
         "gives",
         queueEntryCost(text(100)) + 2 * entry,
         {{0, 100}, {0, 1}, {1, 2}, {1, 3}, {1, 4}},
         100,
         {{100}, {3, 4}},
         {1, 1}},
    };
    for (auto const &row : rows)
    {
        budget = std::make_shared<APIQueueBudget>(io, row.limit);
        auto const queues = makeQueues(row.kept.size());
        for (auto const &[queue, n] : row.pushes)
        {
            queues[queue]->push(shareText(text(n)));
            if (n == row.written)
                queues[queue]->beginWrite();
        }
        std::size_t charged = 0;
        for (std::size_t i = 0; i < queues.size(); ++i)
        {
            Lines kept;
            std::size_t bytes = 0;
            for (int n : row.kept[i])
            {
                kept.push_back(text(n));
                bytes += kept.back().size();
                charged += queueEntryCost(kept.back());
            }
            EXPECT_EQ(textsOf({queues[i]->messages().begin(), queues[i]->messages().end()}), kept)
                << row.name << ", queue " << i;
            EXPECT_EQ(queues[i]->dropped(), row.dropped[i]) << row.name << ", queue " << i;
            EXPECT_EQ(queues[i]->bytes(), bytes) << row.name << ", queue " << i;
        }
        EXPECT_EQ(budget->spent(), charged) << row.name;
    }
}

TEST_F(APIQueueBudgetTest, OneDropLineASecondForAllSessionsTogether)
{
    useLimit(10);
    auto queues = makeQueues(10);
    auto const push = [](auto const &queue, int n) { queue->push(shareText(message(n))); };
    auto const fanOut = [&](int n)
    {
        for (auto const &queue : queues)
            push(queue, n);
    };
    // The first round fills the budget; in each further one every session loses one.
    for (int n = 1; n <= 5; ++n)
        fanOut(n);
    auto const beforeFirstLine = std::chrono::steady_clock::now();
    ASSERT_TRUE(runUntil([&] { return dropLines().size() == 1; }));
    EXPECT_EQ(dropLines()[0],
              "API 127.0.0.1:1: queue full, dropped 4 messages, and 36 from 9 other sessions");

    // Drops over several turns within the next second make one line at its end, naming the
    // session that dropped the most, even when it is gone by then.
    fanOut(6);
    runUntil([] { return false; }, 5ms); // another turn, well within the second
    push(queues[7], 7);
    push(queues[7], 8);
    queues[7].reset();
    EXPECT_EQ(budget->spent(), 9 * entry);
    EXPECT_EQ(dropLines().size(), 1u);
    ASSERT_TRUE(runUntil([&] { return dropLines().size() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - beforeFirstLine, 1s);
    EXPECT_EQ(dropLines()[1],
              "API 127.0.0.1:8: queue full, dropped 3 messages, and 9 from 9 other sessions");

    // Before a hand-over, the drops of the second so far are told at once.
    push(queues[0], 9);
    push(queues[0], 10);
    budget->writeDueLine();
    ASSERT_EQ(dropLines().size(), 3u);
    EXPECT_EQ(dropLines()[2], "API 127.0.0.1:1: queue full, dropped 1 messages");
}

// Its queue goes with it, at once: the pool will not write it.
TEST_F(APIQueueBudgetTest, AStoppedSessionGivesBackAtOnce)
{
    RefusingPort const port(io);
    auto session = startSession(port.endpoint());
    for (int n = 1; n <= 3; ++n)
        session->sendResult(message(n));
    EXPECT_EQ(budget->spent(), 3 * entry);
    session->stop();
    EXPECT_EQ(budget->spent(), 0u);
}

TEST_F(APISessionHandOverTest, AdoptedConnectionGoesOnFromTheFirstUnhandledByteWithoutRegistering)
{
    RawApiServer server(io);
    auto session = registeredSession(server);
    ASSERT_TRUE(session);
    EXPECT_FALSE(session->handOverRecord().descriptor < 0);

    session->hold();
    std::string const third = serverFrame(isOnlineQuery(3));
    std::string const rest = serverFrame(isOnlineQuery(2)) + third.substr(0, 9);
    server.writeRaw(serverFrame(isOnlineQuery(1)) + rest);
    ASSERT_TRUE(runUntil([&] { return !asked.empty(); }));
    session->sendResult("{\"r\":1}");
    session->sendResult("{\"r\":2}");
    // Exactly the first message was handled; its answer and the results wait unwritten.
    ASSERT_TRUE(runUntil([&] { return session->handOverRecord().pending == rest; }));
    ASSERT_TRUE(session->atHandOverPoint());
    EXPECT_EQ(asked, (std::vector<unsigned long>{1}));
    EXPECT_EQ(server.received, (std::vector<std::string>{registration}));

    auto record = session->handOverRecord();
    EXPECT_EQ(record.endpoint, endpointText(server.endpoint()));
    std::vector<std::string> const unsent{buildIsOnlineAnswer(1, true), "{\"r\":1}", "{\"r\":2}"};
    EXPECT_EQ(textsOf(record.unsent), unsent);

    // The exec, in one process: the descriptor outlives the old session's socket.
    record.descriptor = ::dup(record.descriptor);
    session->stop();
    auto adopted = makeSession(server.endpoint());
    EXPECT_FALSE(adopted->adopt(record));
    server.writeRaw(third.substr(9));

    ASSERT_TRUE(runUntil([&] { return server.received.size() == 6; }));
    EXPECT_EQ(asked, (std::vector<unsigned long>{1, 2, 3}));
    EXPECT_EQ(server.received, (std::vector<std::string>{registration, unsent[0], unsent[1],
                                                         unsent[2], buildIsOnlineAnswer(2, false),
                                                         buildIsOnlineAnswer(3, true)}));
    EXPECT_FALSE(server.ended);
    EXPECT_EQ(server.accepted, 1);
    EXPECT_TRUE(adopted->isConnected());
    EXPECT_TRUE(log.linesStartingWith("Connecting main: ").size() == 1);
    adopted->stop();
}

TEST_F(APISessionHandOverTest, ResumeAfterAFailedReloadGoesOnAsIfNothingHappened)
{
    RawApiServer server(io);
    auto session = registeredSession(server);
    ASSERT_TRUE(session);
    session->hold();
    server.writeRaw(serverFrame(isOnlineQuery(1)) + serverFrame(isOnlineQuery(3)));
    ASSERT_TRUE(runUntil([&] { return session->atHandOverPoint() && !asked.empty(); }));
    auto const record = session->handOverRecord();
    EXPECT_EQ(textsOf(record.unsent), std::vector<std::string>{buildIsOnlineAnswer(1, true)});

    session->resume();
    ASSERT_TRUE(runUntil([&] { return server.received.size() == 3; }));
    EXPECT_EQ(asked, (std::vector<unsigned long>{1, 3}));
    EXPECT_EQ(server.received, (std::vector<std::string>{registration, buildIsOnlineAnswer(1, true),
                                                         buildIsOnlineAnswer(3, true)}));
    EXPECT_EQ(session->queuedMessages(), 0u);
    session->stop();
}

TEST_F(APISessionHandOverTest, WithoutAConnectionTheQueueGoesOverAndFollowsANewRegistration)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    auto session = startSession(server.endpoint());
    session->sendResult("{\"r\":1}");
    session->sendResult("{\"r\":2}");
    ASSERT_TRUE(runUntil([&] { return !log.linesStartingWith("Connecting wait: ").empty(); }));
    session->hold();
    ASSERT_TRUE(session->atHandOverPoint());
    auto const record = session->handOverRecord();
    EXPECT_EQ(record.descriptor, -1);
    EXPECT_EQ(record.pending, "");
    EXPECT_EQ(textsOf(record.unsent), (std::vector<std::string>{"{\"r\":1}", "{\"r\":2}"}));
    // Held, no new attempt is made.
    auto const attempts = log.linesStartingWith("Connecting main: ").size();
    EXPECT_TRUE(
        neverWithin([&] { return log.linesStartingWith("Connecting main: ").size() > attempts; }));
    session->stop();

    server.setRejecting(false);
    auto adopted = makeSession(server.endpoint());
    EXPECT_FALSE(adopted->adopt(record));
    ASSERT_TRUE(waitForMessages(server, 3));
    EXPECT_EQ(server.allReceived(), (Lines{registration, "{\"r\":1}", "{\"r\":2}"}));
    adopted->stop();
}

TEST_F(APISessionHandOverTest, MessageHalfReadAtTheBoundIsAFailedConnectionAndTheQueueGoesOver)
{
    RawApiServer server(io);
    auto session = registeredSession(server);
    ASSERT_TRUE(session);
    session->hold();
    session->sendResult("{\"r\":1}");
    server.writeRaw(serverFrame(isOnlineQuery(1)).substr(0, 5));
    ASSERT_TRUE(runUntil([&] { return !session->atHandOverPoint(); }));

    session->failHandOver();
    auto const record = session->handOverRecord();
    EXPECT_EQ(record.descriptor, -1);
    EXPECT_EQ(record.pending, "");
    EXPECT_EQ(textsOf(record.unsent), std::vector<std::string>{"{\"r\":1}"});
    ASSERT_TRUE(runUntil([&] { return server.ended; }));
    EXPECT_TRUE(asked.empty());
    session->stop();
}

// The WebSocket library throws on a host name too long for its request: the connection is not
// taken over, and the session goes on without it, its queue kept, as a failed connection would.
TEST_F(APISessionHandOverTest, AConnectionWhoseHandshakeThrowsIsNotTakenOverAndTheSessionGoesOn)
{
    RawApiServer server(io);
    auto session = registeredSession(server);
    ASSERT_TRUE(session);
    session->hold();
    session->sendResult("{\"r\":1}");
    ASSERT_TRUE(runUntil([&] { return session->atHandOverPoint(); }));
    auto record = session->handOverRecord();
    record.descriptor = ::dup(record.descriptor);
    session->stop();

    auto adopted = makeSession(server.endpoint(), std::string(70000, 'a'));
    EXPECT_EQ(adopted->adopt(record).message(), "Invalid argument");
    ::close(record.descriptor); // still the caller's
    ASSERT_TRUE(runUntil(
        [&]
        {
            return log.count("Connecting wait: " + endpointText(server.endpoint()) +
                             " Invalid argument") >= 1;
        }));
    EXPECT_EQ(adopted->queuedMessages(), 1u);
    adopted->stop();
}

// The pool: sessions to the resolved addresses of the all-API name.
class APISessionContainerTest : public APISessionTest
{
protected:
    APISessionContainerTest()
        : container(APISessionFactory(
              io, [](ITestRequest &) {}, [](unsigned long) { return false; }, "api-all",
              APISession::Timings{20ms}))
    {
        for (auto const *address : {"127.0.0.1", "127.0.0.2", "127.0.0.3"})
            servers.push_back(std::make_unique<FakeApiServer>(io, address));
    }

    // Results as a resolver hands them over for the all-API host name.
    void update(std::vector<std::size_t> const &indices)
    {
        std::vector<tcp::endpoint> endpoints;
        for (auto index : indices)
            endpoints.push_back(servers[index]->endpoint());
        updateSessions(container, makeResults("api-all", endpoints));
    }

    bool registered(std::size_t index)
    {
        return runUntil([&] { return !servers[index]->allReceived().empty(); });
    }

    APISessionContainer container;
    std::vector<std::unique_ptr<FakeApiServer>> servers;
};

TEST_F(APISessionContainerTest, SessionsFollowTheResolvedAddresses)
{
    update({0, 1, 2, 2});
    ASSERT_TRUE(registered(0) && registered(1) && registered(2));
    EXPECT_EQ(container.sessions.size(), 3u);
    EXPECT_EQ(servers[0]->newest().host, "api-all");

    std::weak_ptr<APISession> const removed = container.sessions.at(servers[1]->endpoint());
    auto const lines = log.lines().size();
    update({2, 0});
    EXPECT_EQ(log.linesStartingWith("Updating API list").size(), 2u);
    EXPECT_EQ(log.linesStartingWith("Added API "), Lines(3, "Added API api-all"));
    EXPECT_EQ(log.linesStartingWith("Removed API "),
              Lines{"Removed API " + toString(servers[1]->endpoint())});
    EXPECT_EQ(container.sessions.size(), 2u);
    // The stopped session ends silently, is released and does not come back; the others were
    // never dropped.
    ASSERT_TRUE(runUntil([&] { return !servers[1]->newest().open && removed.expired(); }));
    EXPECT_TRUE(neverWithin(
        [&]
        {
            return log.lines().size() != lines + 2 ||
                   std::any_of(servers.begin(), servers.end(),
                               [](auto &s) { return s->connectionCount() != 1; });
        }));
    EXPECT_TRUE(servers[0]->newest().open && servers[2]->newest().open);
}

TEST_F(APISessionContainerTest, EndpointWithoutSocketIsLeftForTheNextResolution)
{
    {
        DescriptorExhaustion exhausted;
        update({0});
    }
    EXPECT_TRUE(container.sessions.empty());
    EXPECT_EQ(log.linesStartingWith("Couldn't open a socket for API " +
                                    toString(servers[0]->endpoint()) + ": ")
                  .size(),
              1u);
    EXPECT_TRUE(log.linesStartingWith("Added API ").empty());
    update({0});
    EXPECT_TRUE(registered(0));
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
