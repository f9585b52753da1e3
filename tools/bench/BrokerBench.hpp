#pragma once

#include "bench/BenchRun.hpp"
#include "bench/ChildProcess.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The broker comparison: Debian's mosquitto carrying the relay's pattern at QoS 0. A requester
// in the benchmark (MqttRequester, one API server's counterpart) publishes every request to
// the topic of one of as many clients as the relay has devices; the clients, in child
// processes (`tt_bench mqtt-clients`, MqttClientFleet), answer each on the result topic. The
// broker runs from a generated configuration on a free loopback port, alone on the
// controller's processor, with the descriptor limit the benchmark raised; its relay figures
// are taken as the controller's are (LoadMeasurement), and its memory per idle subscribed
// client as the controller's per idle device, with a fleet as large as its descriptors allow.
class BrokerBench
{
public:
    struct Runs
    {
        BenchRun::RelayRuns relay;
        std::vector<double> perClientBytes; // VmRSS per idle subscribed client
    };

    BrokerBench(boost::asio::io_context &io, BenchRun::Settings const &settings,
                std::string workDirectory);

    // The broker's figures, or nothing when it cannot be run here (whyNot() says why).
    std::optional<Runs> run(boost::asio::yield_context yield);
    std::string const &whyNot() const { return why; }

private:
    std::unique_ptr<ChildProcess> startBroker(boost::asio::yield_context yield);
    std::vector<std::unique_ptr<ChildProcess>>
    startClients(unsigned firstProcess, std::uint64_t firstUnit, std::size_t count);
    // The clients subscribed, once every process has settled its own.
    std::size_t waitSubscribed(std::vector<std::unique_ptr<ChildProcess>> &processes,
                               boost::asio::yield_context yield);
    std::vector<double> measureMemory(ChildProcess &broker, boost::asio::yield_context yield);
    BenchRun::RelayRuns measureRelay(ChildProcess &broker, boost::asio::yield_context yield);

    boost::asio::io_context &io;
    BenchRun::Settings const &settings;
    std::string workDirectory;
    unsigned short port = 0;
    std::string why;
};

} // namespace kelvarin::triggerTesting::bench
