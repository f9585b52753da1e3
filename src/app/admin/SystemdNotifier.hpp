#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// Keeps the service manager informed when it asked for it (NOTIFY_SOCKET): ready once the
// controller is built, a status line when it changes (at most once a period), and, when the
// manager watches the service (WATCHDOG_USEC), a keep-alive from a timer of the event loop at
// half the watchdog interval. A loop that is stuck sends none, and the manager restarts the
// service. Two timers, each holding the notifier while it waits; nothing else runs.
class SystemdNotifier : public std::enable_shared_from_this<SystemdNotifier>
{
public:
    using StatusFn = std::function<std::string()>;

    SystemdNotifier(boost::asio::io_context &io, StatusFn status,
                    std::chrono::steady_clock::duration statusPeriod = std::chrono::seconds(1));
    SystemdNotifier(SystemdNotifier const &) = delete;
    SystemdNotifier &operator=(SystemdNotifier const &) = delete;

    // Without NOTIFY_SOCKET in the environment it does nothing.
    void start();
    void stop();

private:
    void notify(std::string const &text);
    void waitForStatus();
    void onStatusTimer(boost::system::error_code const &ec);
    void waitForWatchdog();
    void onWatchdogTimer(boost::system::error_code const &ec);

    StatusFn status;
    std::chrono::steady_clock::duration statusPeriod;
    std::chrono::steady_clock::duration watchdogPeriod{};
    boost::asio::steady_timer statusTimer;
    boost::asio::steady_timer watchdogTimer;
    std::string lastStatus;
    bool stopped = false;
};

} // namespace kelvarin::triggerTesting
