#include "app/admin/MetricsRequestHandler.hpp"

#include "app/admin/OperatorJson.hpp"
#include "app/admin/OperatorQueries.hpp"
#include "app/admin/StatusPage.hpp"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>

#include <string_view>
#include <variant>

namespace kelvarin::triggerTesting
{

namespace http = boost::beast::http;

namespace
{

constexpr char const *expositionType = "text/plain; version=0.0.4; charset=utf-8";
constexpr char const *textType = "text/plain; charset=utf-8";
constexpr char const *jsonType = "application/json";
constexpr char const *htmlType = "text/html; charset=utf-8";
constexpr std::string_view devicesPath = "/devices";

MetricsRequestHandler::Response makeResponse(http::status status, unsigned version, bool keepAlive,
                                             char const *type,
                                             std::shared_ptr<std::string const> body)
{
    MetricsRequestHandler::Response response(status, version);
    response.set(http::field::content_type, type);
    response.body() = std::move(body);
    response.keep_alive(keepAlive);
    response.prepare_payload();
    return response;
}

MetricsRequestHandler::Response makeResponse(http::status status, unsigned version, bool keepAlive,
                                             char const *type, std::string body)
{
    return makeResponse(status, version, keepAlive, type,
                        std::make_shared<std::string const>(std::move(body)));
}

} // namespace

MetricsRequestHandler::MetricsRequestHandler(ExpositionFn exposition, UnreadinessFn unreadiness,
                                             Lookups lookups)
    : exposition(std::move(exposition)), unreadiness(std::move(unreadiness)),
      lookups(std::move(lookups))
{
}

MetricsRequestHandler::Response MetricsRequestHandler::handle(Request const &request) const
{
    auto response = answer(request);
    // The head says how long the answer would be; no body may follow it.
    if (request.method() == http::verb::head)
        response.body() = nullptr;
    return response;
}

MetricsRequestHandler::Response MetricsRequestHandler::answer(Request const &request) const
{
    std::string_view path = request.target();
    // A scraper may add parameters; none changes the answer.
    auto const queryStart = path.find('?');
    auto const query =
        queryStart == std::string_view::npos ? std::string_view() : path.substr(queryStart + 1);
    path = path.substr(0, queryStart);
    auto const version = request.version();
    bool const keepAlive = request.keep_alive();
    bool const get = request.method() == http::verb::get || request.method() == http::verb::head;
    if (get && path == "/metrics")
        return makeResponse(http::status::ok, version, keepAlive, expositionType, exposition());
    if (get && path == "/ready")
    {
        auto missing = unreadiness();
        if (missing.empty())
            return makeResponse(http::status::ok, version, keepAlive, textType, "ready\n");
        return makeResponse(http::status::service_unavailable, version, keepAlive, textType,
                            missing + "\n");
    }
    if (get && lookups.state)
        return lookUp(path, query, version, keepAlive);
    return makeResponse(http::status::not_found, version, keepAlive, textType, "not found\n");
}

// The operators' paths, and 404 for any other.
MetricsRequestHandler::Response MetricsRequestHandler::lookUp(std::string_view path,
                                                              std::string_view query,
                                                              unsigned version,
                                                              bool keepAlive) const
{
    auto const json = [&](http::status status, std::string body)
    { return makeResponse(status, version, keepAlive, jsonType, std::move(body)); };
    if (path == "/")
    {
        auto page = makeResponse(http::status::ok, version, keepAlive, htmlType, statusPage());
        page.set("Content-Security-Policy", statusPagePolicy);
        return page;
    }
    if (path == "/status.json")
        return json(http::status::ok, statusJson(lookups.state(), lookups.version));
    if (path == devicesPath)
    {
        auto const parsed = parseDevicePageQuery(query);
        if (auto const *error = std::get_if<std::string>(&parsed))
            return json(http::status::bad_request, errorJson(*error));
        return json(http::status::ok,
                    devicePageJson(lookups.page(std::get<DevicePageQuery>(parsed))));
    }
    if (path.starts_with(devicesPath) && path[devicesPath.size()] == '/')
    {
        auto const text = path.substr(devicesPath.size() + 1);
        auto const unitId = parseUnitId(text);
        if (!unitId)
            return json(http::status::bad_request, errorJson("not a unit id: " + quotedText(text)));
        auto const connections = lookups.connectionsOf(*unitId);
        if (connections.empty())
            return json(
                http::status::not_found,
                errorJson("no connection registered with unit id " + std::to_string(*unitId)));
        return json(http::status::ok, deviceJson(*unitId, lookups.isOnline(*unitId), connections));
    }
    return makeResponse(http::status::not_found, version, keepAlive, textType, "not found\n");
}

MetricsRequestHandler::Response MetricsRequestHandler::tooLarge(unsigned version)
{
    return makeResponse(http::status::payload_too_large, version, false, textType,
                        "request too large\n");
}

} // namespace kelvarin::triggerTesting
