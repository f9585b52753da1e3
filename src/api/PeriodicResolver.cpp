#include "api/PeriodicResolver.hpp"

#include "common/Coroutine.hpp"
#include "common/Net.hpp"

#include <boost/asio/strand.hpp>

#include <iostream>

namespace kelvarin::triggerTesting
{

using boost::system::error_code;
using net::ip::tcp;

PeriodicResolver::PeriodicResolver(net::io_context &io, std::string hostName, std::string service,
                                   std::chrono::seconds interval, Callback callback)
    : io(io), timer(io), resolver(io), hostName(std::move(hostName)), service(std::move(service)),
      interval(interval), callback(std::move(callback))
{
}

void PeriodicResolver::start()
{
    stopped = false;
    spawnCoroutine(net::make_strand(io), [this, alive = std::weak_ptr<bool const>(alive)](
                                             net::yield_context yield) { run(yield, alive); });
}

void PeriodicResolver::run(net::yield_context yield, std::weak_ptr<bool const> alive)
{
    while (!stopped)
    {
        error_code ec;
        // IPv4 only, and without the resolver's default flags.
        auto const results =
            resolver.async_resolve(tcp::v4(), hostName, service, tcp::resolver::flags(), yield[ec]);
        if (alive.expired())
            return;
        if (ec)
            std::clog << "Failed to resolve " << hostName << ": " << ec.message() << std::endl;
        else
            callback(results);

        timer.expires_after(interval);
        timer.async_wait(yield[ec]);
        if (alive.expired())
            return;
        if (ec)
            std::clog << "Error waiting in timer: " << ec.message() << std::endl;
    }
}

} // namespace kelvarin::triggerTesting
