#pragma once

#include "app/DeviceOptions.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <vector>

namespace kelvarin::triggerTesting
{

// The device listening sockets: adopted from systemd under socket activation, otherwise
// resolved, bound and listened from the configured services. Failures are thrown.
std::vector<boost::asio::ip::tcp::acceptor> makeListeningSockets(boost::asio::io_context &io,
                                                                 DeviceOptions const &options);

// One listening socket on the endpoint, IPv6-only for an IPv6 address. Failures are thrown as
// system errors named after the step: open, set_option, bind or listen.
boost::asio::ip::tcp::acceptor listenOn(boost::asio::io_context &io,
                                        boost::asio::ip::tcp::endpoint const &endpoint);

} // namespace kelvarin::triggerTesting
