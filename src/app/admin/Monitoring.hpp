#pragma once

#include "app/Controller.hpp"
#include "app/MetricsOptions.hpp"
#include "app/admin/ControllerMetrics.hpp"
#include "app/admin/ExpositionCache.hpp"
#include "app/admin/MetricsServer.hpp"
#include "app/admin/SystemdNotifier.hpp"

#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <functional>
#include <memory>

namespace kelvarin::triggerTesting
{

// What operators see of a running controller: the metrics and readiness endpoint, when one is
// configured, and the service manager's notifications, when it asked for them. Built after the
// controller, whose device side then listens and whose API side has started: being built is
// being ready. Neither part touches the devices or the API side; they only read.
class Monitoring
{
public:
    // The log lines dropped so far, from the log stream's buffer.
    using LogLinesDroppedFn = std::function<std::uint64_t()>;

    // Throws when the metrics endpoint cannot listen.
    Monitoring(boost::asio::io_context &io, MetricsOptions const &options, Controller &controller,
               LogLinesDroppedFn logLinesDropped);
    ~Monitoring();
    Monitoring(Monitoring const &) = delete;
    Monitoring &operator=(Monitoring const &) = delete;

    // Tells the service manager that a reload begins, or that it failed and the controller is
    // ready again.
    void reloading(bool begins)
    {
        if (notifier)
            notifier->reloading(begins);
    }

    // The controller's state with what the process around it counts: what the metrics read,
    // and the totals a reload hands over.
    ControllerState state() const;

private:
    Controller &controller;
    LogLinesDroppedFn logLinesDropped;
    ControllerMetrics metrics;
    ExpositionCache exposition;
    std::shared_ptr<MetricsServer> server;
    std::shared_ptr<SystemdNotifier> notifier;
};

} // namespace kelvarin::triggerTesting
