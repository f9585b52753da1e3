#include "app/admin/SystemdNotifier.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sys/un.h>

namespace kelvarin::triggerTesting
{

SystemdNotifier::SystemdNotifier(boost::asio::io_context &io, StatusFn status,
                                 std::chrono::steady_clock::duration statusPeriod)
    : status(std::move(status)), statusPeriod(statusPeriod), socket(io), statusTimer(io),
      watchdogTimer(io)
{
}

std::optional<boost::asio::local::datagram_protocol::endpoint>
SystemdNotifier::notifyEndpoint(std::string_view variable)
{
    using Endpoint = boost::asio::local::datagram_protocol::endpoint;
    // One byte of sun_path stays for the terminating zero of a path.
    constexpr std::size_t longest = sizeof(sockaddr_un::sun_path) - 1;
    if (variable.size() < 2 || variable.size() > longest)
        return std::nullopt;
    if (variable.front() == '/')
        return Endpoint(variable);
    if (variable.front() == '@')
        return Endpoint(std::string(1, '\0').append(variable.substr(1)));
    return std::nullopt;
}

void SystemdNotifier::start()
{
    auto const *const variable = std::getenv("NOTIFY_SOCKET");
    if (variable == nullptr)
        return;
    auto const endpoint = notifyEndpoint(variable);
    boost::system::error_code ec;
    if (endpoint)
    {
        socket.open(boost::asio::local::datagram_protocol(), ec);
        if (!ec)
            socket.non_blocking(true, ec);
    }
    if (!endpoint || ec)
    {
        std::clog << "Service manager: cannot notify " << variable
                  << (ec ? ": " + ec.message() : std::string()) << std::endl;
        return;
    }
    manager = *endpoint;
    lastStatus = status();
    sendReady();
    waitForStatus();
    std::uint64_t watchdogMicroseconds = 0;
    if (sd_watchdog_enabled(0, &watchdogMicroseconds) > 0 && watchdogMicroseconds > 0)
    {
        watchdogPeriod = std::chrono::microseconds(watchdogMicroseconds / 2);
        waitForWatchdog();
    }
}

void SystemdNotifier::stop()
{
    stopped = true;
    statusTimer.cancel();
    watchdogTimer.cancel();
    boost::system::error_code ignored;
    socket.close(ignored);
}

bool SystemdNotifier::notify(std::string const &text)
{
    boost::system::error_code ec;
    socket.send_to(boost::asio::buffer(text), manager, 0, ec);
    if (!ec)
    {
        dropping = false;
        return true;
    }
    // A failure to send is the service manager's problem, not a reason to stop serving
    // devices; it is told once per run of failures.
    if (!dropping)
        std::clog << "Service manager: notification dropped: " << ec.message() << std::endl;
    dropping = true;
    return false;
}

void SystemdNotifier::reloading(bool begins)
{
    if (!socket.is_open())
        return;
    if (!begins)
    {
        notify("READY=1");
        return;
    }
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    auto const microseconds = static_cast<std::uint64_t>(now.tv_sec) * 1000000 +
                              static_cast<std::uint64_t>(now.tv_nsec) / 1000;
    notify("RELOADING=1\nMONOTONIC_USEC=" + std::to_string(microseconds));
}

void SystemdNotifier::sendReady()
{
    readySent = notify("READY=1\nSTATUS=" + lastStatus);
}

void SystemdNotifier::waitForStatus()
{
    statusTimer.expires_after(statusPeriod);
    statusTimer.async_wait(
        boost::beast::bind_front_handler(&SystemdNotifier::onStatusTimer, shared_from_this()));
}

void SystemdNotifier::onStatusTimer(boost::system::error_code const &ec)
{
    if (ec || stopped)
        return;
    auto current = status();
    if (!readySent)
    {
        lastStatus = std::move(current);
        sendReady();
    }
    else if (current != lastStatus && notify("STATUS=" + current))
    {
        // A status that was dropped is sent again at the next period.
        lastStatus = std::move(current);
    }
    waitForStatus();
}

void SystemdNotifier::waitForWatchdog()
{
    watchdogTimer.expires_after(watchdogPeriod);
    watchdogTimer.async_wait(
        boost::beast::bind_front_handler(&SystemdNotifier::onWatchdogTimer, shared_from_this()));
}

void SystemdNotifier::onWatchdogTimer(boost::system::error_code const &ec)
{
    if (ec || stopped)
        return;
    notify("WATCHDOG=1");
    waitForWatchdog();
}

} // namespace kelvarin::triggerTesting
