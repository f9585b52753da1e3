#pragma once

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <functional>
#include <string>

namespace kelvarin::triggerTesting
{

// The answers of the metrics endpoint, without any I/O: GET /metrics gives the exposition,
// GET /ready the readiness, anything else 404.
class MetricsRequestHandler
{
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<boost::beast::http::string_body>;
    // The Prometheus text exposition.
    using ExpositionFn = std::function<std::string()>;
    // What keeps the controller from being ready, empty when it is.
    using UnreadinessFn = std::function<std::string()>;

    MetricsRequestHandler(ExpositionFn exposition, UnreadinessFn unreadiness);

    Response handle(Request const &request) const;
    // For a request above the size limit; the connection ends after it.
    static Response tooLarge(unsigned version);

private:
    ExpositionFn exposition;
    UnreadinessFn unreadiness;
};

} // namespace kelvarin::triggerTesting
