#include "app/MetricsServer.hpp"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http/read.hpp>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <thread>

#include <poll.h>

namespace kelvarin::triggerTesting::test
{
namespace
{

namespace http = boost::beast::http;
using boost::asio::ip::tcp;

// A metrics server on a loopback port, its event loop on a thread of the test, so that the
// test can talk to it with plain blocking sockets.
class MetricsServerTest : public ::testing::Test
{
protected:
    void startServer(MetricsServer::Limits limits = {})
    {
        tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::make_address("127.0.0.1"), 0));
        endpoint = acceptor.local_endpoint();
        server = std::make_shared<MetricsServer>(
            std::move(acceptor),
            MetricsRequestHandler([] { return std::string("# exposition\n"); },
                                  [this]
                                  {
                                      std::lock_guard lock(mutex);
                                      return missing;
                                  }),
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

    void setMissing(std::string text)
    {
        std::lock_guard lock(mutex);
        missing = std::move(text);
    }

    tcp::socket connect()
    {
        tcp::socket socket(client);
        socket.connect(endpoint);
        return socket;
    }

    http::response<http::string_body> exchange(tcp::socket& socket, std::string const& request)
    {
        boost::asio::write(socket, boost::asio::buffer(request));
        http::response<http::string_body> response;
        http::read(socket, buffer, response);
        return response;
    }

    // Whether the server closed the connection: the next read ends without a byte.
    bool closedByServer(tcp::socket& socket)
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
    std::mutex mutex;
    std::string missing = "validator not connected";
};

std::string get(std::string const& target)
{
    return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

// A GET of /ready whose head and body together are exactly `size` bytes.
std::string requestOfSize(std::size_t size, std::size_t bodySize)
{
    std::string const start = "GET /ready HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " +
                              std::to_string(bodySize) + "\r\nX-Fill: ";
    std::size_t const headSize = size - bodySize;
    std::string const fill(headSize - start.size() - 4, 'x');
    return start + fill + "\r\n\r\n" + std::string(bodySize, 'b');
}

TEST_F(MetricsServerTest, RoutesOnOneKeptAliveConnection)
{
    startServer();
    auto socket = connect();
    auto response = exchange(socket, get("/metrics?debug=1"));
    EXPECT_EQ(response.result_int(), 200u);
    EXPECT_EQ(response[http::field::content_type], "text/plain; version=0.0.4; charset=utf-8");
    EXPECT_EQ(response.body(), "# exposition\n");
    response = exchange(socket, get("/ready"));
    EXPECT_EQ(response.result_int(), 503u);
    EXPECT_EQ(response.body(), "validator not connected\n");
    setMissing("");
    EXPECT_EQ(exchange(socket, get("/ready")).body(), "ready\n");
    for (auto const& request :
         {get("/"), get("/metrics/"), std::string("POST /ready HTTP/1.1\r\nHost: x\r\n\r\n")})
    {
        response = exchange(socket, request);
        EXPECT_EQ(response.result_int(), 404u) << request;
        EXPECT_EQ(response.body(), "not found\n");
    }

    // Two requests sent at once are answered in order; no body follows a HEAD answer.
    boost::asio::write(socket, boost::asio::buffer("HEAD /ready HTTP/1.1\r\nHost: x\r\n\r\n" +
                                                   get("/metrics")));
    http::response_parser<http::string_body> head;
    head.skip(true);
    http::read(socket, buffer, head);
    EXPECT_EQ(head.get().result_int(), 404u);
    http::response<http::string_body> next;
    http::read(socket, buffer, next);
    EXPECT_EQ(next.body(), "# exposition\n");
}

TEST_F(MetricsServerTest, RequestsAbove8KiBHeadAndBodyTogetherAreRefused)
{
    startServer();
    setMissing("");
    for (std::size_t body : {0u, 5000u})
    {
        auto socket = connect();
        EXPECT_EQ(exchange(socket, requestOfSize(8192, body)).result_int(), 200u) << body;
        auto const response = exchange(socket, requestOfSize(8193, body));
        EXPECT_EQ(response.result_int(), 413u) << body;
        EXPECT_EQ(response.body(), "request too large\n");
        EXPECT_FALSE(response.keep_alive());
        EXPECT_TRUE(closedByServer(socket)) << body;
    }
    // A body announced far beyond the limit is refused before it is sent, and a chunked one
    // as it comes.
    auto socket = connect();
    EXPECT_EQ(exchange(socket, "GET /ready HTTP/1.1\r\nHost: x\r\nContent-Length: "
                               "1000000000\r\n\r\n")
                  .result_int(),
              413u);
    auto chunked = connect();
    EXPECT_EQ(exchange(chunked, "GET /ready HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: "
                                "chunked\r\n\r\n2000\r\n" +
                                    std::string(0x2000, 'b') + "\r\n0\r\n\r\n")
                  .result_int(),
              413u);
}

TEST_F(MetricsServerTest, SlowClientsAndOldConnectionsAreClosed)
{
    MetricsServer::Limits limits;
    limits.session.ioTime = std::chrono::milliseconds(200);
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

TEST_F(MetricsServerTest, ConnectionsBeyondTheLimitWaitForAPlace)
{
    MetricsServer::Limits limits;
    limits.connections = 2;
    startServer(limits);
    auto first = connect();
    auto second = connect();
    EXPECT_EQ(exchange(first, get("/metrics")).result_int(), 200u);
    EXPECT_EQ(exchange(second, get("/metrics")).result_int(), 200u);

    // Connected in the backlog, but not accepted: its request stays unanswered.
    auto third = connect();
    boost::asio::write(third, boost::asio::buffer(get("/metrics")));
    pollfd answer{third.native_handle(), POLLIN, 0};
    EXPECT_EQ(::poll(&answer, 1, 300), 0);

    first.close();
    http::response<http::string_body> response;
    http::read(third, buffer, response);
    EXPECT_EQ(response.result_int(), 200u);
}

} // namespace
} // namespace kelvarin::triggerTesting::test
