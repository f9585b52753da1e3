#include "app/admin/MetricsRequestHandler.hpp"

#include <boost/beast/http/write.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

namespace http = boost::beast::http;

// The response as it goes on the wire.
std::string bytesOf(MetricsRequestHandler::Response const &response)
{
    std::ostringstream out;
    out << response;
    return out.str();
}

MetricsRequestHandler::Request request(http::verb method, std::string const &target,
                                       unsigned version = 11)
{
    MetricsRequestHandler::Request request(method, target, version);
    request.set(http::field::host, "127.0.0.1");
    return request;
}

std::string const exposition = "# TYPE tt_up gauge\ntt_up 1\n";

MetricsRequestHandler handlerWhile(std::string unreadiness)
{
    return MetricsRequestHandler([] { return std::make_shared<std::string const>(exposition); },
                                 [unreadiness] { return unreadiness; });
}

TEST(MetricsRequestHandlerTest, AnswersEachPathAndMethodWithItsExactResponse)
{
    std::string const metricsHead = "HTTP/1.1 200 OK\r\n"
                                    "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
                                    "Content-Length: 27\r\n\r\n";
    std::string const notFound = "HTTP/1.1 404 Not Found\r\n"
                                 "Content-Type: text/plain; charset=utf-8\r\n"
                                 "Content-Length: 10\r\n\r\n";
    struct Case
    {
        http::verb method;
        std::string target;
        std::string unreadiness;
        std::string response;
    };
    Case const cases[] = {
        {http::verb::get, "/metrics", "", metricsHead + exposition},
        // Parameters a scraper adds change nothing.
        {http::verb::get, "/metrics?name[]=tt_up", "x", metricsHead + exposition},
        {http::verb::get, "/ready", "",
         "HTTP/1.1 200 OK\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Length: 6\r\n\r\nready\n"},
        {http::verb::get, "/ready?verbose", "validator not connected, no API session registered",
         "HTTP/1.1 503 Service Unavailable\r\nContent-Type: text/plain; charset=utf-8\r\n"
         "Content-Length: 51\r\n\r\nvalidator not connected, no API session registered\n"},
        {http::verb::get, "/", "", notFound + "not found\n"},
        {http::verb::get, "/metrics/", "", notFound + "not found\n"},
        {http::verb::get, "/METRICS", "", notFound + "not found\n"},
        {http::verb::post, "/ready", "", notFound + "not found\n"},
        {http::verb::post, "/metrics", "", notFound + "not found\n"},
    };
    for (auto const &[method, target, unreadiness, response] : cases)
        EXPECT_EQ(bytesOf(handlerWhile(unreadiness).handle(request(method, target))), response)
            << http::to_string(method) << " " << target;
}

TEST(MetricsRequestHandlerTest, KeepsTheConnectionAsTheRequestAsks)
{
    auto const handler = handlerWhile("");
    auto const connectionOf = [&](MetricsRequestHandler::Request const &request)
    {
        auto const response = handler.handle(request);
        EXPECT_EQ(response.version(), request.version());
        return std::string(response[http::field::connection]);
    };
    EXPECT_EQ(connectionOf(request(http::verb::get, "/ready")), "");
    auto closing = request(http::verb::get, "/ready");
    closing.keep_alive(false);
    EXPECT_EQ(connectionOf(closing), "close");
    EXPECT_EQ(connectionOf(request(http::verb::get, "/nowhere", 10)), "");
    auto keeping = request(http::verb::get, "/metrics", 10);
    keeping.keep_alive(true);
    EXPECT_EQ(connectionOf(keeping), "keep-alive");
}

TEST(MetricsRequestHandlerTest, TooLargeClosesTheConnection)
{
    EXPECT_EQ(bytesOf(MetricsRequestHandler::tooLarge(11)),
              "HTTP/1.1 413 Payload Too Large\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Connection: close\r\nContent-Length: 18\r\n\r\nrequest too large\n");
    EXPECT_EQ(bytesOf(MetricsRequestHandler::tooLarge(10)),
              "HTTP/1.0 413 Payload Too Large\r\nContent-Type: text/plain; charset=utf-8\r\n"
              "Content-Length: 18\r\n\r\nrequest too large\n");
}

} // namespace
} // namespace kelvarin::triggerTesting
