#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/local/datagram_protocol.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace kelvarin::triggerTesting
{

// Keeps the service manager informed when it asked for it (NOTIFY_SOCKET): ready once the
// controller is built, a status line when it changes (at most once a period), and, when the
// manager watches the service (WATCHDOG_USEC), a keep-alive from a timer of the event loop at
// half the watchdog interval. A loop that is stuck sends none, and the manager restarts the
// service. Two timers, each holding the notifier while it waits; nothing else runs.
//
// A busy manager must not stop the loop either: the datagrams go out on a socket that never
// waits (sd_notify waits on a full socket), and one that the socket does not take at once is
// dropped: the next status or keep-alive replaces it. Only READY=1 is tried again, at every
// status period, until it is sent.
class SystemdNotifier : public std::enable_shared_from_this<SystemdNotifier>
{
public:
    using StatusFn = std::function<std::string()>;

    SystemdNotifier(boost::asio::io_context &io, StatusFn status,
                    std::chrono::steady_clock::duration statusPeriod = std::chrono::seconds(1));
    SystemdNotifier(SystemdNotifier const &) = delete;
    SystemdNotifier &operator=(SystemdNotifier const &) = delete;

    // Without NOTIFY_SOCKET in the environment, or with one that is not a Unix socket's path
    // or abstract name, it does nothing.
    void start();
    void stop();
    // A reload: the manager is told when it begins, and that the controller is ready again
    // when it failed; a next program says READY=1 itself.
    void reloading(bool begins);

    // Where NOTIFY_SOCKET points: a path, or an abstract name written with a leading '@'.
    static std::optional<boost::asio::local::datagram_protocol::endpoint>
    notifyEndpoint(std::string_view variable);

private:
    bool notify(std::string const &text);
    void sendReady();
    void waitForStatus();
    void onStatusTimer(boost::system::error_code const &ec);
    void waitForWatchdog();
    void onWatchdogTimer(boost::system::error_code const &ec);

    StatusFn status;
    std::chrono::steady_clock::duration statusPeriod;
    std::chrono::steady_clock::duration watchdogPeriod{};
    boost::asio::local::datagram_protocol::socket socket;
    boost::asio::local::datagram_protocol::endpoint manager;
    boost::asio::steady_timer statusTimer;
    boost::asio::steady_timer watchdogTimer;
    std::string lastStatus;
    bool readySent = false;
    // The last datagram was dropped: the next drop is not logged again.
    bool dropping = false;
    bool stopped = false;
};

} // namespace kelvarin::triggerTesting
