#include "app/admin/SystemdNotifier.hpp"

#include <boost/beast/core/bind_handler.hpp>

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <cstdlib>

namespace kelvarin::triggerTesting
{

SystemdNotifier::SystemdNotifier(boost::asio::io_context &io, StatusFn status,
                                 std::chrono::steady_clock::duration statusPeriod)
    : status(std::move(status)), statusPeriod(statusPeriod), statusTimer(io), watchdogTimer(io)
{
}

void SystemdNotifier::start()
{
    if (std::getenv("NOTIFY_SOCKET") == nullptr)
        return;
    lastStatus = status();
    notify("READY=1\nSTATUS=" + lastStatus);
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
}

void SystemdNotifier::notify(std::string const &text)
{
    // Keeps the environment: every later message needs NOTIFY_SOCKET again. A failure to
    // send is the service manager's problem, not a reason to stop serving devices.
    sd_notify(0, text.c_str());
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
    if (current != lastStatus)
    {
        lastStatus = std::move(current);
        notify("STATUS=" + lastStatus);
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
