#pragma once

#include "api/APIManager.hpp"
#include "app/APIOptions.hpp"
#include "app/ControllerState.hpp"
#include "app/DeviceOptions.hpp"
#include "app/reload/ReloadState.hpp"
#include "device/ProbeManager.hpp"

#include <boost/asio/io_context.hpp>

namespace kelvarin::triggerTesting
{

// When this process started, as the kernel has it: a reload replaces the program, not the
// process, and the start time the metrics show stays the process's. Now, when /proc says nothing.
std::chrono::system_clock::time_point processStartTime();

// Joins the device side and the API side. The function objects between them capture the
// managers' addresses, so a controller stays where it was built.
class Controller
{
public:
    // With the state a previous program handed over, the controller goes on from it: its
    // listening sockets, connections, queues and running requests.
    Controller(boost::asio::io_context &io, APIOptions const &apiOptions,
               DeviceOptions const &deviceOptions, ReloadState *inherited = nullptr);
    Controller(Controller const &) = delete;
    Controller &operator=(Controller const &) = delete;

    // Figures read from both sides now, and the totals counted since the first program.
    ControllerState state() const;
    // What operators look up: a unit's connections, with the tests each is running; a page of
    // every registered connection; whether the API side is told the unit is online.
    std::vector<DeviceConnectionView> connectionsOf(unsigned long unitId) const;
    DevicePage devicePage(DevicePageQuery const &query) const;
    bool isUnitOnline(unsigned long unitId) const;

    // A reload: both sides hold, tell when every connection waits at a message boundary, and
    // hand over what they hold; `kept` gets the descriptors the next program inherits. When the
    // program could not be replaced, resume() takes back what the state took and goes on.
    void hold();
    void resume(ReloadState &handedBack);
    bool readyForHandOver();
    // About how many bytes a hand-over would carry now.
    std::uint64_t carriedBytes() const { return apiManager.carriedBytes(); }
    ReloadState handOver(std::vector<int> &kept);

private:
    void connectDeviceSideToApiSide();
    // Takes what it can out of the state, so that nothing is held twice.
    void adopt(ReloadState &inherited);
    void reportDisconnection(unsigned long const &unitId, disconnection_reason reason,
                             std::chrono::system_clock::time_point time);

    void countReply(Reply const &reply);

    std::chrono::system_clock::time_point const startTime = processStartTime();
    // The events counted on the paths between the two sides, as they cross them; after a
    // reload also every total the previous program handed over, which the live counts of both
    // sides and of the process around them go on from. First, so that it outlives every
    // function object that counts in it.
    ControllerState::Totals counted;
    ProbeManager probeManager;
    APIManager apiManager;
};

} // namespace kelvarin::triggerTesting
