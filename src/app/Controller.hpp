#pragma once

#include "app/APIOptions.hpp"
#include "app/DeviceOptions.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <vector>

namespace kelvarin::triggerTesting
{

// Joins the device side and the API side of the service.
class Controller
{
public:
    Controller(boost::asio::io_context& io, APIOptions const& apiOptions,
               DeviceOptions const& deviceOptions);
    Controller(Controller const&) = delete;
    Controller& operator=(Controller const&) = delete;

private:
    std::vector<boost::asio::ip::tcp::acceptor> listeningSockets;
};

} // namespace kelvarin::triggerTesting
