#include "app/admin/MetricsServer.hpp"

#include "support/Helpers.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>

#include <gtest/gtest.h>

#include <poll.h>
#include <string>
#include <thread>

namespace kelvarin::triggerTesting
{
namespace
{

namespace http = boost::beast::http;
using boost::asio::ip::tcp;
using Response = http::response<http::string_body>;

// A metrics server on a loopback port, its event loop on a thread of the test, so that the
// test can talk to it with plain blocking sockets, shut down if the test outlasts its deadline.
class MetricsServerTest : public ::testing::Test
{
protected:
    void startServer(MetricsServer::Limits limits = {})
    {
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        endpoint = acceptor.local_endpoint();
        server = std::make_shared<MetricsServer>(
            std::move(acceptor),
            MetricsRequestHandler([]
                                  { return std::make_shared<std::string const>("# exposition\n"); },
                                  [] { return std::string("validator not connected"); }),
            limits);
        server->start();
        loop = std::thread([this] { io.run(); });
    }

    void TearDown() override
    {
        io.stop();
        if (loop.joinable())
            loop.join();
        // With the loop stopped, the sessions it still holds end without a new accept.
        if (server)
            server->stop();
    }

    tcp::socket connect()
    {
        tcp::socket socket(client);
        socket.connect(endpoint);
        deadline.watch(socket.native_handle());
        return socket;
    }

    Response exchange(tcp::socket &socket, std::string const &request)
    {
        boost::asio::write(socket, boost::asio::buffer(request));
        Response response;
        http::read(socket, buffer, response);
        return response;
    }

    // Whether the server closed the connection: the next read ends without a byte.
    bool closedByServer(tcp::socket &socket)
    {
        char byte;
        boost::system::error_code ec;
        socket.read_some(boost::asio::buffer(&byte, 1), ec);
        return ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
    }

    boost::asio::io_context io;
    boost::asio::executor_work_guard<boost::asio::io_context::executor_type> work =
        boost::asio::make_work_guard(io);
    boost::asio::io_context client;
    std::thread loop;
    tcp::endpoint endpoint;
    std::shared_ptr<MetricsServer> server;
    boost::beast::flat_buffer buffer;
    testSupport::SocketDeadline deadline;
};

std::string get(std::string const &target, std::string const &headers = "")
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + "\r\n";
}

TEST_F(MetricsServerTest, RequestsAbove8KiBHeadAndBodyTogetherAreRefused)
{
    startServer();
    // A GET whose head and body together are exactly `size` bytes.
    auto const ofSize = [](std::size_t size, std::size_t body)
    {
        auto const start = get("/metrics", "Content-Length: " + std::to_string(body) + "\r\n");
        return start.substr(0, start.size() - 2) +
               "X-Fill: " + std::string(size - body - start.size() - 10, 'x') + "\r\n\r\n" +
               std::string(body, 'b');
    };
    for (std::size_t body : {0u, 5000u})
    {
        auto socket = connect();
        EXPECT_EQ(exchange(socket, ofSize(8192, body)).result_int(), 200u) << body;
        auto const response = exchange(socket, ofSize(8193, body));
        EXPECT_EQ(std::make_pair(response.result_int(), response.body()),
                  std::make_pair(413u, std::string("request too large\n")));
        EXPECT_FALSE(response.keep_alive());
        EXPECT_TRUE(closedByServer(socket)) << body;
    }
    // A body announced far beyond the limit is refused before it is sent.
    auto socket = connect();
    EXPECT_EQ(exchange(socket, get("/ready", "Content-Length: 1000000000\r\n")).result_int(), 413u);
}

TEST_F(MetricsServerTest, SlowClientsAndOldConnectionsAreClosed)
{
    MetricsServer::Limits limits;
    limits.session.headTime = std::chrono::milliseconds(200);
    limits.session.lifetime = std::chrono::milliseconds(0);
    startServer(limits);
    auto silent = connect();
    auto halfway = connect();
    boost::asio::write(halfway, boost::asio::buffer(std::string("GET /metrics HTTP/1.1\r\n")));
    EXPECT_TRUE(closedByServer(silent));
    EXPECT_TRUE(closedByServer(halfway));
    // Past its lifetime, a connection ends after the answer it is given.
    auto old = connect();
    auto const response = exchange(old, get("/metrics"));
    EXPECT_EQ(response.result_int(), 200u);
    EXPECT_FALSE(response.keep_alive());
    EXPECT_TRUE(closedByServer(old));
}

// HEAD gets GET's head, with the length the body would have, and no body: the next answer on
// the connection follows the head directly.
TEST_F(MetricsServerTest, HeadIsAnsweredAsGetWithoutTheBody)
{
    startServer();
    auto socket = connect();
    std::string const pipelined = "HEAD /metrics HTTP/1.1\r\n\r\nHEAD /ready HTTP/1.1\r\n\r\n"
                                  "HEAD /nothing HTTP/1.1\r\n\r\n" +
                                  get("/metrics");
    boost::asio::write(socket, boost::asio::buffer(pipelined));
    std::string const expected =
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        "Content-Length: 13\r\n\r\n"
        "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: 24\r\n\r\n"
        "HTTP/1.1 404 Not Found\r\nContent-Type: text/plain; charset=utf-8\r\n"
        "Content-Length: 10\r\n\r\n"
        "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
        "Content-Length: 13\r\n\r\n# exposition\n";
    std::string received(expected.size(), '\0');
    boost::asio::read(socket, boost::asio::buffer(received));
    EXPECT_EQ(received, expected);
}

// At the limit, a new client takes the place of the one that has waited longest for its
// request; a client answered and kept alive waits for its next one from its answer on.
TEST_F(MetricsServerTest, ANewClientAtTheLimitClosesTheOldestWaitingForItsRequest)
{
    MetricsServer::Limits limits;
    limits.connections = 2;
    startServer(limits);
    auto trickler = connect();
    boost::asio::write(trickler, boost::asio::buffer(std::string("GET /met")));
    auto kept = connect();
    EXPECT_EQ(exchange(kept, get("/metrics")).result_int(), 200u);
    auto probe = connect();
    EXPECT_EQ(exchange(probe, get("/ready")).result_int(), 503u);
    EXPECT_TRUE(closedByServer(trickler));
    // Now `kept` has waited longest.
    auto next = connect();
    EXPECT_EQ(exchange(next, get("/metrics")).result_int(), 200u);
    EXPECT_TRUE(closedByServer(kept));
    EXPECT_EQ(exchange(probe, get("/metrics")).result_int(), 200u);
    EXPECT_EQ(server->evictedConnections(), 2u);
}

// A place busy answering is not taken: the new client is closed at once.
TEST_F(MetricsServerTest, WhenEveryPlaceIsAnsweringANewClientIsClosed)
{
    MetricsServer::Limits limits;
    limits.connections = 1;
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
    endpoint = acceptor.local_endpoint();
    // Far more than the socket buffers hold, so that its write waits for a reader.
    auto const large = std::make_shared<std::string const>(32 << 20, 'x');
    server = std::make_shared<MetricsServer>(
        std::move(acceptor),
        MetricsRequestHandler([large] { return large; }, [] { return std::string(); }), limits);
    server->start();
    loop = std::thread([this] { io.run(); });
    auto reader = connect();
    boost::asio::write(reader, boost::asio::buffer(get("/metrics")));
    // Its answer has begun: the session is writing.
    http::response_parser<http::string_body> parser;
    parser.body_limit(64 << 20);
    http::read_header(reader, buffer, parser);
    auto refused = connect();
    EXPECT_TRUE(closedByServer(refused));
    EXPECT_EQ(server->evictedConnections(), 0u);
    http::read(reader, buffer, parser);
    EXPECT_EQ(parser.get().body().size(), large->size());
}

} // namespace
} // namespace kelvarin::triggerTesting
