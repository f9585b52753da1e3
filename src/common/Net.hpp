#pragma once

// The short names the service's network code uses for the libraries' namespaces, as in Beast's
// examples. Declaring the namespaces is enough for the aliases: nothing is pulled in.
namespace boost::asio
{
}
namespace boost::beast::http
{
}
namespace boost::beast::websocket
{
}

namespace kelvarin::triggerTesting
{

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = boost::beast::http;
namespace websocket = boost::beast::websocket;

} // namespace kelvarin::triggerTesting
