#pragma once

#include "api/APIManager.hpp"
#include "app/APIOptions.hpp"
#include "app/ControllerState.hpp"
#include "app/DeviceOptions.hpp"
#include "app/admin/ControllerMetrics.hpp"
#include "device/ProbeManager.hpp"

#include <boost/asio/io_context.hpp>

namespace kelvarin::triggerTesting
{

// Joins the device side and the API side. The function objects between them capture the
// managers' addresses, so a controller stays where it was built.
class Controller
{
public:
    Controller(boost::asio::io_context &io, APIOptions const &apiOptions,
               DeviceOptions const &deviceOptions);
    Controller(Controller const &) = delete;
    Controller &operator=(Controller const &) = delete;

    // Counted on the paths between the two sides, as the events cross them.
    ControllerMetrics &getMetrics() { return metrics; }
    // Figures read from both sides now.
    ControllerState state() const;

private:
    void connectDeviceSideToApiSide();
    void reportDisconnection(unsigned long const &unitId, disconnection_reason reason,
                             std::chrono::system_clock::time_point time);

    // First, so that it outlives every function object that counts in it.
    ControllerMetrics metrics;
    ProbeManager probeManager;
    APIManager apiManager;
};

} // namespace kelvarin::triggerTesting
