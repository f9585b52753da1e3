#include "status/SetNoDelay.hpp"

namespace kelvarin::triggerTesting
{

void setNoDelay(boost::asio::ip::tcp::socket &socket) noexcept
{
    boost::system::error_code ignored;
    socket.set_option(boost::asio::ip::tcp::no_delay(true), ignored);
}

} // namespace kelvarin::triggerTesting
