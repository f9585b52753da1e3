#pragma once

#include "app/admin/SharedTextBody.hpp"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <functional>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// The answers of the metrics endpoint, without any I/O: GET /metrics gives the exposition,
// GET /ready the readiness, anything else 404. HEAD is answered as GET would be, without the
// body.
class MetricsRequestHandler
{
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<SharedTextBody>;
    // The Prometheus text exposition, shared by the answers that give it.
    using ExpositionFn = std::function<std::shared_ptr<std::string const>()>;
    // What keeps the controller from being ready, empty when it is.
    using UnreadinessFn = std::function<std::string()>;

    MetricsRequestHandler(ExpositionFn exposition, UnreadinessFn unreadiness);

    Response handle(Request const &request) const;
    // For a request above the size limit; the connection ends after it.
    static Response tooLarge(unsigned version);

private:
    Response answer(Request const &request) const;

    ExpositionFn exposition;
    UnreadinessFn unreadiness;
};

} // namespace kelvarin::triggerTesting
