#include "app/Controller.hpp"

#include "app/ListeningSockets.hpp"

namespace kelvarin::triggerTesting
{

Controller::Controller(boost::asio::io_context& io, APIOptions const&,
                       DeviceOptions const& deviceOptions)
    : listeningSockets(makeListeningSockets(io, deviceOptions))
{
}

} // namespace kelvarin::triggerTesting
