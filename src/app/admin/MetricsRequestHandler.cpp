#include "app/admin/MetricsRequestHandler.hpp"

#include <boost/beast/http/field.hpp>
#include <boost/beast/http/status.hpp>

#include <string_view>

namespace kelvarin::triggerTesting
{

namespace http = boost::beast::http;

namespace
{

constexpr char const *expositionType = "text/plain; version=0.0.4; charset=utf-8";
constexpr char const *textType = "text/plain; charset=utf-8";

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

MetricsRequestHandler::MetricsRequestHandler(ExpositionFn exposition, UnreadinessFn unreadiness)
    : exposition(std::move(exposition)), unreadiness(std::move(unreadiness))
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
    path = path.substr(0, path.find('?'));
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
    return makeResponse(http::status::not_found, version, keepAlive, textType, "not found\n");
}

MetricsRequestHandler::Response MetricsRequestHandler::tooLarge(unsigned version)
{
    return makeResponse(http::status::payload_too_large, version, false, textType,
                        "request too large\n");
}

} // namespace kelvarin::triggerTesting
