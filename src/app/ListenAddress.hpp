#pragma once

#include <boost/asio/ip/tcp.hpp>

#include <string>

namespace kelvarin::triggerTesting
{

// Reads "192.0.2.1:9120" or "[2001:db8::1]:9120": a numeric address, since an endpoint meant
// for operators must not move with name resolution, and a port from 1 to 65535. Throws
// std::runtime_error naming the key and the value otherwise.
boost::asio::ip::tcp::endpoint parseListenAddress(std::string const &text);

} // namespace kelvarin::triggerTesting
