#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{

// An endpoint as "address:port", an IPv6 address in brackets, and back; nothing when the text is
// not one.
std::string endpointText(boost::asio::ip::tcp::endpoint const &endpoint);
std::optional<boost::asio::ip::tcp::endpoint> parseEndpointText(std::string_view text);

} // namespace kelvarin::triggerTesting
