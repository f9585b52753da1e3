#include "bench/BrokerBench.hpp"

#include "bench/BenchSupport.hpp"
#include "bench/MqttRequester.hpp"
#include "bench/ProcessProbe.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <unistd.h>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;
using net::ip::tcp;
using std::chrono::milliseconds;
using std::chrono::seconds;

namespace
{

char const *const brokerBinary = "/usr/sbin/mosquitto";
// Each client holds three descriptors in its process (its socket and libmosquitto's socket
// pair), so a process keeps well below the descriptor limit.
constexpr std::size_t clientsPerProcess = 5000;
// Source addresses 127.0.<60 + process>.1 and the 15 after it, apart from the generators'.
constexpr unsigned firstSourceNetwork = 60;

} // namespace

BrokerBench::BrokerBench(net::io_context &io, BenchRun::Settings const &settings,
                         std::string workDirectory)
    : io(io), settings(settings), workDirectory(std::move(workDirectory))
{
}

std::optional<BrokerBench::Runs> BrokerBench::run(net::yield_context yield)
{
    if (!std::filesystem::exists(brokerBinary))
    {
        why = std::string(brokerBinary) + " is not installed (Debian's package mosquitto)";
        return std::nullopt;
    }
    auto broker = startBroker(yield);
    if (!broker)
        return std::nullopt;
    Runs runs;
    runs.perClientBytes = measureMemory(*broker, yield);
    runs.relay = measureRelay(*broker, yield);
    broker->stop(yield);
    return runs;
}

std::unique_ptr<ChildProcess> BrokerBench::startBroker(net::yield_context yield)
{
    port = freePort();
    auto const config = workDirectory + "/mosquitto.conf";
    {
        std::ofstream out(config);
        out << "listener " << port << " 127.0.0.1\n"
            << "allow_anonymous true\n"
            << "persistence false\n"
            // As the controller's and the bare relay's sockets.
            << "set_tcp_nodelay true\n"
            << "log_dest stderr\n"
            << "log_type error\nlog_type warning\nlog_type notice\n"
            << "connection_messages false\n";
        // Run as root it would change to the user mosquitto, which would clear the signal
        // that ends it with the benchmark.
        if (geteuid() == 0)
            out << "user root\n";
    }
    auto const log = settings.logDirectory + "/bench-mosquitto.log";
    say("starting mosquitto on port " + std::to_string(port) + " (standard error to " + log + ")");
    auto broker =
        std::make_unique<ChildProcess>(io, std::vector<std::string>{brokerBinary, "-c", config},
                                       log, settings.targetCpus ? &*settings.targetCpus : nullptr);
    auto const deadline = std::chrono::steady_clock::now() + seconds(10);
    while (broker->running() && std::chrono::steady_clock::now() < deadline)
    {
        tcp::socket probe(io);
        boost::system::error_code ec;
        probe.async_connect({net::ip::address_v4::loopback(), port}, yield[ec]);
        if (!ec)
            return broker;
        pauseFor(io, milliseconds(20), yield);
    }
    why = "mosquitto did not start (see " + log + ")";
    broker->stop(yield);
    return nullptr;
}

std::vector<std::unique_ptr<ChildProcess>>
BrokerBench::startClients(unsigned firstProcess, std::uint64_t firstUnit, std::size_t count)
{
    std::vector<std::unique_ptr<ChildProcess>> processes;
    for (std::size_t first = 0; first < count; first += clientsPerProcess)
    {
        auto const network = firstSourceNetwork + firstProcess + processes.size();
        std::vector<std::string> argv = {
            settings.self,   "mqtt-clients",
            "--broker",      "127.0.0.1:" + std::to_string(port),
            "--first-unit",  std::to_string(firstUnit + first),
            "--count",       std::to_string(std::min(clientsPerProcess, count - first)),
            "--source",      "127.0." + std::to_string(network) + ".1",
            "--sources",     "16",
            "--result-size", std::to_string(settings.resultSize)};
        processes.push_back(std::make_unique<ChildProcess>(io, argv, ""));
    }
    return processes;
}

std::size_t BrokerBench::waitSubscribed(std::vector<std::unique_ptr<ChildProcess>> &processes,
                                        net::yield_context yield)
{
    std::size_t subscribed = 0;
    for (auto &process : processes)
    {
        auto const fields = words(process->readLine(seconds(120), yield).value_or(""));
        if (fields.size() != 3 || fields[0] != "ready")
            throw std::runtime_error("an MQTT client process gave no ready line");
        subscribed += std::stoull(fields[1]);
    }
    return subscribed;
}

// As the controller's admission fleet: every run is measured against the size before the
// first fleet, which the later fleets reuse.
std::vector<double> BrokerBench::measureMemory(ChildProcess &broker, net::yield_context yield)
{
    std::vector<double> perClient;
    ProcessProbe const probe(broker.pid());
    auto const residentAtStart = probe.residentKiB();
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        auto const descriptorsBefore = probe.openDescriptors();
        auto const fleet =
            settings.fleet ? settings.fleet
                           : descriptorLimit() - descriptorsBefore - BenchRun::descriptorReserve;
        say("mosquitto memory " + std::to_string(rep + 1) + "/" +
            std::to_string(settings.repetitions) + ": " + std::to_string(fleet) +
            " clients, broker at " + std::to_string(probe.residentKiB()) + " KiB");
        auto processes = startClients(0, 1, fleet);
        auto const subscribed = waitSubscribed(processes, yield);
        pauseFor(io, milliseconds(300), yield);
        auto const residentWith = probe.residentKiB();
        for (auto &process : processes)
            process->stop(yield);
        auto const deadline = std::chrono::steady_clock::now() + seconds(60);
        while (probe.openDescriptors() > descriptorsBefore &&
               std::chrono::steady_clock::now() < deadline)
            pauseFor(io, milliseconds(20), yield);
        broker.truncateLog();
        say("  subscribed " + std::to_string(subscribed) + "; RSS " +
            std::to_string(residentAtStart) + " -> " + std::to_string(residentWith) + " KiB");
        if (subscribed > 0)
            perClient.push_back(static_cast<double>(static_cast<std::int64_t>(residentWith) -
                                                    static_cast<std::int64_t>(residentAtStart)) *
                                1024.0 / static_cast<double>(subscribed));
    }
    return perClient;
}

BenchRun::RelayRuns BrokerBench::measureRelay(ChildProcess &broker, net::yield_context yield)
{
    auto clients = startClients(0, BenchRun::relayFirstUnit, settings.relayDevices);
    if (waitSubscribed(clients, yield) != settings.relayDevices)
        throw std::runtime_error("the broker's clients were not all subscribed");
    std::vector<std::uint64_t> units;
    for (std::size_t i = 0; i < settings.relayDevices; ++i)
        units.push_back(BenchRun::relayFirstUnit + i);
    MqttRequester requester(io, 1, units);
    tcp::endpoint const endpoint(net::ip::address_v4::loopback(), port);
    auto const deadline = std::chrono::steady_clock::now() + seconds(10);
    if (requester.connect(endpoint))
        while (!requester.subscribed() && !requester.failed() &&
               std::chrono::steady_clock::now() < deadline)
            pauseFor(io, milliseconds(10), yield);
    if (!requester.subscribed())
        throw std::runtime_error("the MQTT requester did not subscribe");

    LoadMeasurement measurement(io, settings.load(), broker);
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        say("mosquitto relay " + std::to_string(rep + 1) + "/" +
            std::to_string(settings.repetitions));
        measurement.measure({&requester.load()}, false, yield);
        measurement.measure({&requester.load()}, true, yield);
    }
    for (auto &process : clients)
        process->stop(yield);
    return {measurement.fixed(), measurement.saturation(), measurement.syscallFailure()};
}

} // namespace kelvarin::triggerTesting::bench
