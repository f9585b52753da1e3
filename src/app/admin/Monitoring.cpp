#include "app/admin/Monitoring.hpp"

#include "app/ListeningSockets.hpp"

#include <iostream>

namespace kelvarin::triggerTesting
{

Monitoring::Monitoring(boost::asio::io_context &io, MetricsOptions const &options,
                       Controller &controller, LogLinesDroppedFn logLinesDropped)
    : controller(controller), logLinesDropped(std::move(logLinesDropped)),
      metrics([this] { return state(); }), exposition([this] { return expositionText(metrics); })
{
    if (options.listen)
    {
        auto acceptor = listenOn(io, *options.listen);
        std::clog << "Metrics endpoint listening on " << acceptor.local_endpoint() << std::endl;
        server = std::make_shared<MetricsServer>(
            std::move(acceptor),
            MetricsRequestHandler(
                [this] { return exposition.get(); }, [this] { return state().unreadiness(); },
                {[this] { return state(); },
                 [&controller](unsigned long unitId) { return controller.isUnitOnline(unitId); },
                 [&controller](unsigned long unitId) { return controller.connectionsOf(unitId); },
                 [&controller](DevicePageQuery const &query)
                 { return controller.devicePage(query); },
                 TT_CONTROLLER_VERSION}));
        server->start();
    }
    notifier = std::make_shared<SystemdNotifier>(io, [this] { return state().statusLine(); });
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

ControllerState Monitoring::state() const
{
    auto state = controller.state();
    state.totals.logLinesDropped += logLinesDropped();
    if (server)
        state.totals.metricsConnectionsEvicted += server->evictedConnections();
    return state;
}

} // namespace kelvarin::triggerTesting
