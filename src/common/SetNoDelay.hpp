#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/ip/tcp.hpp>

namespace kelvarin::triggerTesting
{

// Sends small messages at once instead of holding them back for a full segment: every message
// this service relays is small and someone waits for it. Only a matter of latency, so a socket
// that refuses the option is used as it is.
template <typename Executor>
void setNoDelay(boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor> &socket) noexcept
{
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}

} // namespace kelvarin::triggerTesting
