#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace kelvarin::triggerTesting
{

// Resolves a host name at a fixed interval and hands every successful answer on. A failed
// resolution is logged and changes nothing.
class PeriodicResolver
{
public:
    using Results = boost::asio::ip::tcp::resolver::results_type;
    using Callback = std::function<void(Results const &)>;

    PeriodicResolver(boost::asio::io_context &io, std::string hostName, std::string service,
                     std::chrono::seconds interval, Callback callback);
    PeriodicResolver(PeriodicResolver const &) = delete;
    PeriodicResolver &operator=(PeriodicResolver const &) = delete;

    void start();

private:
    void run(boost::asio::yield_context yield, std::weak_ptr<bool const> alive);

    boost::asio::io_context &io;
    boost::asio::steady_timer timer;
    boost::asio::ip::tcp::resolver resolver;
    bool stopped = true;
    std::string hostName;
    std::string service;
    std::chrono::seconds interval;
    Callback callback;
    // The coroutine may be resumed after this object is gone (its timer and resolver complete
    // with an error when destroyed); it checks this before touching anything.
    std::shared_ptr<bool const> alive = std::make_shared<bool const>(true);
};

} // namespace kelvarin::triggerTesting
