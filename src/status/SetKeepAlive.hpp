#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace kelvarin::triggerTesting
{

// TCP keep-alive for API-side connections: a silent peer is dropped about 70 seconds after the
// last traffic. Failures are thrown.
void setKeepAlive(boost::asio::ip::tcp::socket& socket);

} // namespace kelvarin::triggerTesting
