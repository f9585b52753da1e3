#include "status/SetKeepAlive.hpp"

#include <boost/asio/socket_base.hpp>

#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <system_error>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr int idleSecondsBeforeProbing = 60;
constexpr int unansweredProbes = 2;
constexpr int secondsBetweenProbes = 5;

void setTcpOption(boost::asio::ip::tcp::socket& socket, int option, int value)
{
    if (::setsockopt(socket.native_handle(), IPPROTO_TCP, option, &value, sizeof value) == -1)
        throw std::system_error(errno, std::system_category());
}

} // namespace

void setKeepAlive(boost::asio::ip::tcp::socket& socket)
{
    socket.set_option(boost::asio::socket_base::keep_alive(true));
    setTcpOption(socket, TCP_KEEPIDLE, idleSecondsBeforeProbing);
    setTcpOption(socket, TCP_KEEPCNT, unansweredProbes);
    setTcpOption(socket, TCP_KEEPINTVL, secondsBetweenProbes);
}

} // namespace kelvarin::triggerTesting
