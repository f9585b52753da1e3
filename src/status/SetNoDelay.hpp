#pragma once

#include <boost/asio/ip/tcp.hpp>

namespace kelvarin::triggerTesting
{

// Sends small messages at once instead of holding them back for a full segment: every message
// this service relays is small and someone waits for it. Only a matter of latency, so a socket
// that refuses the option is used as it is.
void setNoDelay(boost::asio::ip::tcp::socket &socket) noexcept;

} // namespace kelvarin::triggerTesting
