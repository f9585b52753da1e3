#include "app/admin/MetricsRequestHandler.hpp"

#include "app/admin/OperatorJson.hpp"
#include "app/admin/StatusPage.hpp"

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

TEST(MetricsRequestHandlerTest, OperatorPathsAnswerFromTheLookupsAndHeadOnEach)
{
    DeviceConnectionView connection;
    connection.unitId = 42;
    std::vector<DevicePageQuery> asked;
    ControllerState state;
    state.devicesOnline = 1;
    MetricsRequestHandler const handler(
        [] { return std::make_shared<std::string const>(exposition); }, [] { return ""; },
        {[&] { return state; }, [](unsigned long unitId) { return unitId == 42; },
         [&](unsigned long unitId)
         {
             return unitId == 42 ? std::vector<DeviceConnectionView>{connection}
                                 : std::vector<DeviceConnectionView>{};
         },
         [&](DevicePageQuery const &query)
         {
             asked.push_back(query);
             return DevicePage{{connection}, 42};
         },
         "1.2.3"});
    auto const json = [](std::string status, std::string const &body)
    {
        return "HTTP/1.1 " + status + "\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body;
    };
    auto const headOf = [](std::string const &response)
    { return response.substr(0, response.find("\r\n\r\n") + 4); };
    auto const notFound = bytesOf(handlerWhile("").handle(request(http::verb::get, "/nowhere")));
    struct Case
    {
        http::verb method;
        std::string target;
        std::string response;
    };
    Case const cases[] = {
        {http::verb::get, "/devices/42?x", json("200 OK", deviceJson(42, true, {connection}))},
        {http::verb::get, "/devices/7",
         json("404 Not Found", "{\"error\":\"no connection registered with unit id 7\"}")},
        {http::verb::get, "/devices/", json("400 Bad Request", "{\"error\":\"not a unit id: \"}")},
        {http::verb::get, "/devices/4%22/x",
         json("400 Bad Request", "{\"error\":\"not a unit id: 4%22/x\"}")},
        {http::verb::get, "/devices?after=3&limit=5",
         json("200 OK", devicePageJson({{connection}, 42}))},
        {http::verb::get, "/devices?sort=id",
         json("400 Bad Request", "{\"error\":\"unknown parameter: sort\"}")},
        {http::verb::get, "/status.json", json("200 OK", statusJson(state, "1.2.3"))},
        {http::verb::head, "/status.json", headOf(json("200 OK", statusJson(state, "1.2.3")))},
        {http::verb::head, "/devices/7",
         headOf(json("404 Not Found", "{\"error\":\"no connection "
                                      "registered with unit id 7\"}"))},
        {http::verb::post, "/status.json", notFound},
        {http::verb::get, "/devicesX", notFound},
    };
    for (auto const &[method, target, response] : cases)
        EXPECT_EQ(bytesOf(handler.handle(request(method, target))), response)
            << http::to_string(method) << " " << target;
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].after, 3UL);
    EXPECT_EQ(asked[0].limit, 5u);

    auto const page = handler.handle(request(http::verb::get, "/"));
    EXPECT_EQ(page.result(), http::status::ok);
    EXPECT_EQ(page[http::field::content_type], "text/html; charset=utf-8");
    EXPECT_EQ(page["Content-Security-Policy"], statusPagePolicy);
    EXPECT_EQ(page.body(), statusPage());
    auto const head = handler.handle(request(http::verb::head, "/"));
    EXPECT_EQ(head[http::field::content_length], std::to_string(statusPage()->size()));
    EXPECT_EQ(head.body(), nullptr);
}

} // namespace
} // namespace kelvarin::triggerTesting
