#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>

namespace kelvarin::triggerTesting
{

// Where operators reach the controller's metrics and readiness over HTTP.
struct MetricsOptions
{
    // None unless metrics.listen is set.
    std::optional<boost::asio::ip::tcp::endpoint> listen;
};

} // namespace kelvarin::triggerTesting
