#include "api/APISession.hpp"
#include "api/APISessionMessages.hpp"
#include "api/EndpointText.hpp"
#include "support/LoopTest.hpp"

#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/buffers_to_string.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/websocket/stream.hpp>

#include <unistd.h>

namespace kelvarin::triggerTesting::testSupport
{
namespace
{

using namespace std::chrono_literals;
using boost::asio::ip::tcp;
namespace websocket = boost::beast::websocket;

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

class APISessionHandOverTest : public LoopTest
{
protected:
    std::shared_ptr<APISession> makeSession(tcp::endpoint endpoint,
                                            std::string const &host = "api-all.example.test")
    {
        return std::make_shared<APISession>(
            io, host, endpoint,
            [this](ITestRequest &request) { executed.push_back(request.getProbeId()); },
            [this](unsigned long unit)
            {
                asked.push_back(unit);
                return unit != 2;
            },
            APISession::Timings{20ms, 10s, 10s}, std::make_shared<APIQueueBudget>(io, 0));
    }

    // A session connected to the server and past its registration, or null.
    std::shared_ptr<APISession> registeredSession(RawApiServer &server)
    {
        auto session = makeSession(server.endpoint());
        if (session->openSocket())
            return nullptr;
        session->start();
        return runUntil([&] { return server.received.size() == 1; }) ? session : nullptr;
    }

    std::vector<unsigned long> asked;
    std::vector<unsigned long> executed;
    std::string const registration =
        "{\"type\":\"register\",\"data\":{\"name\":\"" + boost::asio::ip::host_name() + "\"}}";
};

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
    auto session = makeSession(server.endpoint());
    ASSERT_FALSE(session->openSocket());
    session->start();
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

TEST(EndpointTextTest, EndpointsGoToTextAndBack)
{
    for (auto const *text : {"127.0.0.2:10002", "[::1]:65535", "0.0.0.0:0"})
    {
        auto const endpoint = parseEndpointText(text);
        ASSERT_TRUE(endpoint) << text;
        EXPECT_EQ(endpointText(*endpoint), text);
    }
    for (auto const *text : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "x:1", "::1:5x"})
        EXPECT_FALSE(parseEndpointText(text)) << text;
}

} // namespace
} // namespace kelvarin::triggerTesting::testSupport
