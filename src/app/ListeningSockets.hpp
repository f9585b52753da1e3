#pragma once

#include "app/DeviceOptions.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <vector>

namespace kelvarin::triggerTesting
{

// The device listening sockets: adopted from systemd under socket activation, otherwise
// resolved, bound and listened from the configured services. Failures are thrown.
std::vector<boost::asio::ip::tcp::acceptor> makeListeningSockets(boost::asio::io_context& io,
                                                                 DeviceOptions const& options);

} // namespace kelvarin::triggerTesting
