#pragma once

#include <boost/asio/basic_stream_socket.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/socket_base.hpp>
#include <boost/system/error_code.hpp>

namespace kelvarin::triggerTesting
{

// The probe timing of TCP keep-alive on an open socket: a silent peer is dropped about 70
// seconds after the last traffic. The first form throws std::system_error; the second reports
// the failure in ec.
void setKeepAliveTiming(int descriptor);
void setKeepAliveTiming(int descriptor, boost::system::error_code &ec);

// TCP keep-alive for API-side connections. Failures are thrown.
template <typename Executor>
void setKeepAlive(boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor> &socket)
{
    socket.set_option(boost::asio::socket_base::keep_alive(true));
    setKeepAliveTiming(socket.native_handle());
}

// The same, with a failure reported in ec instead: running out of resources is a failed
// connection attempt, not the end of the service.
template <typename Executor>
void setKeepAlive(boost::asio::basic_stream_socket<boost::asio::ip::tcp, Executor> &socket,
                  boost::system::error_code &ec)
{
    socket.set_option(boost::asio::socket_base::keep_alive(true), ec);
    if (!ec)
        setKeepAliveTiming(socket.native_handle(), ec);
}

} // namespace kelvarin::triggerTesting
