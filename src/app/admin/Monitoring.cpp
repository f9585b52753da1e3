#include "app/admin/Monitoring.hpp"

#include "app/ListeningSockets.hpp"

#include <iostream>

namespace kelvarin::triggerTesting
{

Monitoring::Monitoring(boost::asio::io_context &io, MetricsOptions const &options,
                       Controller &controller)
{
    if (options.listen)
    {
        auto acceptor = listenOn(io, *options.listen);
        std::clog << "Metrics endpoint listening on " << acceptor.local_endpoint() << std::endl;
        server = std::make_shared<MetricsServer>(
            std::move(acceptor),
            MetricsRequestHandler([&controller]
                                  { return controller.getMetrics().expose(controller.state()); },
                                  [&controller] { return controller.state().unreadiness(); }));
        server->start();
    }
    notifier = std::make_shared<SystemdNotifier>(io, [&controller]
                                                 { return controller.state().statusLine(); });
    notifier->start();
}

Monitoring::~Monitoring()
{
    // Pending handlers still hold both until the event loop is destroyed; from now on they
    // start nothing new.
    notifier->stop();
    if (server)
        server->stop();
}

} // namespace kelvarin::triggerTesting
