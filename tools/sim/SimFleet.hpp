#pragma once

#include "sim/EventRecord.hpp"
#include "sim/Misbehaviour.hpp"
#include "sim/SimDevice.hpp"
#include "status/EtherAddr.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// A fleet of simulated devices that share their counts.
class SimFleet
{
public:
    struct Settings
    {
        boost::asio::ip::tcp::endpoint controller;
        std::vector<std::uint64_t> units; // one device per unit id
        // The MAC of each device, by position; devices beyond the list use defaultMacFor.
        std::vector<EtherAddr> macs;
        unsigned resultsPerRun = 1;
        std::map<std::uint64_t, Misbehaviour> misbehaviours; // by unit id
        std::chrono::milliseconds retryDelay{1000};
        EventRecordPtr record; // shared by the devices; none: no event record
    };

    SimFleet(boost::asio::io_context &io, Settings const &settings, SimDevice::Report report);
    SimFleet(SimFleet const &) = delete;
    SimFleet &operator=(SimFleet const &) = delete;
    ~SimFleet();

    void start();
    void stop();
    // Every device has ended.
    bool finished() const;
    SimDevice::Stats const &stats() const { return *counts; }

private:
    std::shared_ptr<SimDevice::Stats> counts;
    std::vector<std::shared_ptr<SimDevice>> devices;
};

} // namespace kelvarin::triggerTesting::sim
