#pragma once

#include "app/ControllerState.hpp"
#include "app/admin/SharedTextBody.hpp"
#include "device/DeviceConnectionView.hpp"

#include <boost/beast/http/message.hpp>
#include <boost/beast/http/string_body.hpp>

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kelvarin::triggerTesting
{

// The answers of the metrics endpoint, without any I/O: GET /metrics gives the exposition,
// GET /ready the readiness; with the operators' lookups, GET /devices/<unit id> a unit's
// connections, GET /devices a page of all registered ones, GET /status.json the controller at a
// glance and GET / the page that shows it; anything else 404. HEAD is answered as GET would be,
// without the body. Every answer is made from what the controller holds at the moment, within
// the request's turn of the event loop: a listing is paged, at most 1000 connections a page.
class MetricsRequestHandler
{
public:
    using Request = boost::beast::http::request<boost::beast::http::string_body>;
    using Response = boost::beast::http::response<SharedTextBody>;
    // The Prometheus text exposition, shared by the answers that give it.
    using ExpositionFn = std::function<std::shared_ptr<std::string const>()>;
    // What keeps the controller from being ready, empty when it is.
    using UnreadinessFn = std::function<std::string()>;

    // What the operators' paths read; without them those paths are not found.
    struct Lookups
    {
        std::function<ControllerState()> state;
        std::function<bool(unsigned long)> isOnline;
        std::function<std::vector<DeviceConnectionView>(unsigned long)> connectionsOf;
        std::function<DevicePage(DevicePageQuery const &)> page;
        std::string version;
    };

    MetricsRequestHandler(ExpositionFn exposition, UnreadinessFn unreadiness, Lookups lookups = {});

    Response handle(Request const &request) const;
    // For a request above the size limit; the connection ends after it.
    static Response tooLarge(unsigned version);

private:
    Response answer(Request const &request) const;
    Response lookUp(std::string_view path, std::string_view query, unsigned version,
                    bool keepAlive) const;

    ExpositionFn exposition;
    UnreadinessFn unreadiness;
    Lookups lookups;
};

} // namespace kelvarin::triggerTesting
