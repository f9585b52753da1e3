#include "app/ListeningSockets.hpp"

#include <boost/asio/ip/v6_only.hpp>
#include <boost/asio/socket_base.hpp>

#include <systemd/sd-daemon.h>

#include <iostream>
#include <stdexcept>
#include <sys/socket.h>

namespace kelvarin::triggerTesting
{

namespace
{

using boost::asio::ip::tcp;

constexpr int firstPassedDescriptor = 3; // SD_LISTEN_FDS_START
constexpr int listenBacklog = 128;

bool isListeningStream(int descriptor, int family)
{
    return sd_is_socket(descriptor, family, SOCK_STREAM, 1) != 0;
}

std::vector<tcp::acceptor> adoptSystemdSockets(boost::asio::io_context &io)
{
    std::clog << "Using systemd sockets" << std::endl;
    std::vector<tcp::acceptor> acceptors;
    int const count = sd_listen_fds(1);
    for (int descriptor = firstPassedDescriptor; descriptor < firstPassedDescriptor + count;
         ++descriptor)
    {
        tcp protocol = tcp::v4();
        if (isListeningStream(descriptor, AF_INET))
            protocol = tcp::v4();
        else if (isListeningStream(descriptor, AF_INET6))
            protocol = tcp::v6();
        else
            throw std::runtime_error("Bad SystemD sockets");
        tcp::acceptor acceptor(io);
        acceptor.assign(protocol, descriptor);
        acceptors.push_back(std::move(acceptor));
    }
    return acceptors;
}

} // namespace

tcp::acceptor listenOn(boost::asio::io_context &io, tcp::endpoint const &endpoint)
{
    tcp::acceptor acceptor(io);
    acceptor.open(endpoint.protocol());
    acceptor.set_option(boost::asio::socket_base::reuse_address(true));
    if (endpoint.address().is_v6())
        acceptor.set_option(boost::asio::ip::v6_only(true));
    acceptor.bind(endpoint);
    acceptor.listen(listenBacklog);
    return acceptor;
}

std::vector<tcp::endpoint> resolveListenServices(boost::asio::io_context &io,
                                                 std::vector<std::string> const &services)
{
    std::vector<tcp::endpoint> endpoints;
    tcp::resolver resolver(io);
    for (auto const &service : services)
    {
        auto const flags = tcp::resolver::passive | tcp::resolver::address_configured;
        for (auto const &entry : resolver.resolve("", service, flags))
            endpoints.push_back(entry.endpoint());
    }
    return endpoints;
}

namespace
{

std::vector<tcp::acceptor> listenOnServices(boost::asio::io_context &io,
                                            std::vector<std::string> const &services)
{
    std::clog << "Not using systemd sockets" << std::endl;
    std::vector<tcp::acceptor> acceptors;
    for (auto const &endpoint : resolveListenServices(io, services))
        acceptors.push_back(listenOn(io, endpoint));
    return acceptors;
}

} // namespace

std::vector<tcp::acceptor> makeListeningSockets(boost::asio::io_context &io,
                                                DeviceOptions const &options)
{
    if (options.useSystemdSockets)
        return adoptSystemdSockets(io);
    return listenOnServices(io, options.listenServices);
}

} // namespace kelvarin::triggerTesting
