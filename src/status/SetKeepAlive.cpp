#include "status/SetKeepAlive.hpp"

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

// False, with errno telling why, when the option could not be set.
bool setTcpOption(int descriptor, int option, int value)
{
    return ::setsockopt(descriptor, IPPROTO_TCP, option, &value, sizeof value) != -1;
}

} // namespace

void setKeepAliveTiming(int descriptor)
{
    boost::system::error_code ec;
    setKeepAliveTiming(descriptor, ec);
    if (ec)
        throw std::system_error(ec.value(), std::system_category());
}

void setKeepAliveTiming(int descriptor, boost::system::error_code &ec)
{
    if (!setTcpOption(descriptor, TCP_KEEPIDLE, idleSecondsBeforeProbing) ||
        !setTcpOption(descriptor, TCP_KEEPCNT, unansweredProbes) ||
        !setTcpOption(descriptor, TCP_KEEPINTVL, secondsBetweenProbes))
        ec.assign(errno, boost::system::system_category());
    else
        ec.clear();
}

} // namespace kelvarin::triggerTesting
