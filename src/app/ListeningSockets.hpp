#pragma once

#include "app/DeviceOptions.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// The device listening sockets: adopted from systemd under socket activation, otherwise
// resolved, bound and listened from the configured services. Failures are thrown.
std::vector<boost::asio::ip::tcp::acceptor> makeListeningSockets(boost::asio::io_context &io,
                                                                 DeviceOptions const &options);

// The endpoints the configured services resolve to, for the address families configured on this
// host, as makeListeningSockets binds them without systemd's sockets. Failures are thrown as
// system errors named "resolve".
std::vector<boost::asio::ip::tcp::endpoint>
resolveListenServices(boost::asio::io_context &io, std::vector<std::string> const &services);

// One listening socket on the endpoint, IPv6-only for an IPv6 address. Failures are thrown as
// system errors named after the step: open, set_option, bind or listen.
boost::asio::ip::tcp::acceptor listenOn(boost::asio::io_context &io,
                                        boost::asio::ip::tcp::endpoint const &endpoint);

} // namespace kelvarin::triggerTesting
