#include "sim/SimFleet.hpp"

#include "sim/SimArguments.hpp"

#include <algorithm>

namespace kelvarin::triggerTesting::sim
{

SimFleet::SimFleet(boost::asio::io_context &io, Settings const &settings, SimDevice::Report report)
    : counts(std::make_shared<SimDevice::Stats>())
{
    for (std::size_t i = 0; i < settings.units.size(); ++i)
    {
        SimDevice::Settings device;
        device.unitId = settings.units[i];
        device.mac = i < settings.macs.size() ? settings.macs[i] : defaultMacFor(device.unitId);
        device.controller = settings.controller;
        device.resultsPerRun = settings.resultsPerRun;
        auto const misbehaviour = settings.misbehaviours.find(device.unitId);
        if (misbehaviour != settings.misbehaviours.end())
            device.misbehaviour = misbehaviour->second;
        device.retryDelay = settings.retryDelay;
        device.record = settings.record;
        devices.push_back(std::make_shared<SimDevice>(io, device, counts, report));
    }
}

SimFleet::~SimFleet()
{
    stop();
}

void SimFleet::start()
{
    for (auto &device : devices)
        device->start();
}

void SimFleet::stop()
{
    for (auto &device : devices)
        device->stop();
}

bool SimFleet::finished() const
{
    return std::all_of(devices.begin(), devices.end(),
                       [](auto const &device) { return device->finished(); });
}

} // namespace kelvarin::triggerTesting::sim
