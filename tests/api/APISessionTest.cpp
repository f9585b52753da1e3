#include "api/APISession.hpp"

#include "ApiTestHelpers.hpp"
#include "api/APISessionMessages.hpp"
#include "support/FakeApiServer.hpp"

#include <boost/asio/error.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/beast/core/error.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <functional>
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
                                            std::chrono::milliseconds retry = 20ms,
                                            std::size_t queueLimit = 0,
                                            std::chrono::milliseconds timeout = 10s)
    {
        return std::make_shared<APISession>(
            io, "api-all.example.test", endpoint,
            [this](ITestRequest &request)
            {
                requests.push_back({boost::uuids::to_string(request.getId()),
                                    request.getProbeId(), request.getData()});
            },
            [this](unsigned long unitId) { return unitId == onlineUnit; },
            APISession::Timings{retry, timeout, timeout}, queueLimit);
    }

    // As the pool does it: socket opened with keep-alive, then started.
    std::shared_ptr<APISession> startSession(tcp::endpoint endpoint,
                                             std::chrono::milliseconds retry = 20ms,
                                             std::size_t queueLimit = 0,
                                             std::chrono::milliseconds timeout = 10s)
    {
        auto session = makeSession(endpoint, retry, queueLimit, timeout);
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
    EXPECT_TRUE(session->queuedMessages() == 0);
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
    EXPECT_EQ(session->queuedMessages(), 3u);

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

TEST_F(APISessionTest, ServerThatClosesAtOnceIsContactedAgainOnlyAfterTheRetryDelay)
{
    FakeApiServer server(io);
    auto const started = std::chrono::steady_clock::now();
    auto session = startSession(server.endpoint(), 300ms);
    ASSERT_TRUE(waitForMessages(server, 1));

    server.closeNewest();
    ASSERT_TRUE(runUntil(io, [&] { return server.allReceived().size() == 2; }));

    EXPECT_GE(std::chrono::steady_clock::now() - started, 300ms);
    EXPECT_EQ(server.connectionCount(), 2u);
    EXPECT_EQ(server.newest().received, std::vector<std::string>{registration()});
    // The wait is silent: no line of a failed attempt.
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

TEST_F(APISessionTest, FullQueueDropsTheOldestAndLogsAtMostOnceASecond)
{
    FakeApiServer server(io);
    server.setRejecting(true);
    auto session = startSession(server.endpoint(), 10ms, 21);
    auto const message = [](int n) { return "{\"n\":" + std::to_string(n) + "}"; }; // 7 bytes
    for (int n = 1; n <= 4; ++n)
        session->sendResult(message(n));
    std::string const line = "API " + toString(server.endpoint()) + ": queue full, dropped ";
    ASSERT_EQ(log.linesStartingWith(line), std::vector<std::string>{line + "1 messages"});
    auto const firstLine = std::chrono::steady_clock::now();

    // Within the second the drops are gathered into one line at its end.
    session->sendResult(message(5));
    session->sendResult(message(6));
    session->sendResult(std::string(22, 'x')); // never fits: dropped itself
    EXPECT_EQ(log.linesStartingWith(line).size(), 1u);
    ASSERT_TRUE(runUntil(io, [&] { return log.linesStartingWith(line).size() == 2; }));
    EXPECT_GE(std::chrono::steady_clock::now() - firstLine, 1s);
    EXPECT_EQ(log.linesStartingWith(line)[1], line + "3 messages");
    EXPECT_EQ(session->droppedMessages(), 4u);
    EXPECT_EQ(session->queuedBytes(), 21u);

    // The newest results reach the server when it is back, in order.
    server.setRejecting(false);
    ASSERT_TRUE(waitForMessages(server, 4)) << testing::PrintToString(log.lines());
    settle();
    EXPECT_EQ(server.allReceived(),
              (std::vector<std::string>{registration(), message(4), message(5), message(6)}));
    EXPECT_EQ(session->queuedBytes(), 0u);
}

TEST_F(APISessionTest, MessageInWriteToAStalledServerIsKeptWhileOlderOnesAreDropped)
{
    FakeApiServer server(io);
    auto session = startSession(server.endpoint(), 10ms, 8 << 20);
    ASSERT_TRUE(waitForMessages(server, 1));
    server.setReading(false);
    std::vector<std::string> sent;
    for (char c = 'a'; c <= 'z'; ++c)
    {
        sent.push_back(std::string(2 << 20, c));
        session->sendResult(sent.back());
    }
    settle();
    EXPECT_LE(session->queuedBytes(), std::size_t{8} << 20);

    server.setReading(true);
    ASSERT_TRUE(runUntil(
        io, [&] { return session->queuedMessages() == 0; }, 20s));
    ASSERT_TRUE(waitForMessages(server, 5));
    // Whatever was in the socket or being written arrives whole, then the newest, in order.
    auto const &received = server.allReceived();
    ASSERT_GE(received.size(), 5u);
    for (std::size_t i = 1; i + 1 < received.size(); ++i)
        EXPECT_LT(received[i][0], received[i + 1][0]);
    EXPECT_EQ(received.back(), sent.back());
    EXPECT_EQ(session->droppedMessages() + received.size() - 1, sent.size());
}

TEST_F(APISessionTest, ServerThatNeverAnswersTheHandshakeIsGivenUpAndTriedAgain)
{
    // Accepts TCP connections and never says a word.
    tcp::acceptor frozen(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    std::vector<tcp::socket> accepted;
    std::function<void()> acceptNext = [&]
    {
        frozen.async_accept(
            [&](boost::system::error_code ec, tcp::socket socket)
            {
                if (!ec)
                    accepted.push_back(std::move(socket));
                acceptNext();
            });
    };
    acceptNext();
    auto session = startSession(frozen.local_endpoint(), 10ms, 0, 200ms);

    ASSERT_TRUE(runUntil(io, [&] { return accepted.size() >= 2; }));
    auto const waits = log.linesStartingWith("Connecting wait: ");
    ASSERT_FALSE(waits.empty());
    EXPECT_EQ(waits[0], "Connecting wait: " + toString(frozen.local_endpoint()) + " " +
                            boost::system::error_code(boost::beast::error::timeout).message());
}

TEST_F(APISessionTest, ServerThatFallsSilentIsLeftAndContactedAgain)
{
    // Completes the handshake, then neither reads nor answers a ping.
    using WebSocket = boost::beast::websocket::stream<tcp::socket>;
    tcp::acceptor silent(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    std::vector<std::shared_ptr<WebSocket>> accepted;
    std::function<void()> acceptNext = [&]
    {
        silent.async_accept(
            [&](boost::system::error_code ec, tcp::socket socket)
            {
                if (ec)
                    return;
                accepted.push_back(std::make_shared<WebSocket>(std::move(socket)));
                accepted.back()->async_accept([](boost::system::error_code) {});
                acceptNext();
            });
    };
    acceptNext();
    auto session = startSession(silent.local_endpoint(), 10ms, 0, 200ms);

    ASSERT_TRUE(runUntil(io, [&] { return accepted.size() >= 2; }));
    // A lost connection, not a failed attempt.
    EXPECT_TRUE(log.linesStartingWith("Connecting wait: ").empty());
}

} // namespace
} // namespace kelvarin::triggerTesting
