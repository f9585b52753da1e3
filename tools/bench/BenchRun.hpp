#pragma once

#include "bench/BenchApiServer.hpp"
#include "bench/BenchReport.hpp"
#include "bench/ChildProcess.hpp"
#include "bench/LoadMeasurement.hpp"
#include "bench/ProcessProbe.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <sched.h>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

class HeldDevice;

// The whole benchmark, as one coroutine on the benchmark's event loop: it starts the
// controller (and then the bare relay) as child processes between in-process API servers and
// a validator, with device generators as further child processes, takes the figures and ends
// every process it started by its pid.
class BenchRun
{
public:
    struct Settings
    {
        std::string controller;   // the tt_controller binary
        std::string self;         // this program, run again as generator and bare relay
        std::string logDirectory; // the controller's standard error goes here
        bool quick = false;       // a tiny run for the smoke test
        bool reload = true;       // the reload phases, which a controller without reload fails
        // One phase alone: "reload-memory" or "listing"; empty: all of them.
        std::string only;
        // The API queue's bound the controller is configured with for the reload with a full
        // queue, and a cap on the running requests' tasks for the one with a full table of
        // them (0: up to the controller's own bound).
        std::size_t reloadQueueMiB = 128;
        std::size_t reloadRunningMiB = 0;
        unsigned repetitions = 3;
        std::size_t fleet = 0; // 0: as many as the controller's descriptor limit allows
        std::size_t relayDevices = 1000;
        std::size_t resultSize = 64;
        double offeredRate = 10000;
        std::size_t window = 256; // outstanding tests at saturation, over all API servers
        std::chrono::milliseconds warmUp{500};
        std::chrono::milliseconds measure{2000};
        // The processors of the controller and the bare relay; the benchmark and its generators
        // keep to the others. Empty: everything shares every processor.
        std::optional<cpu_set_t> targetCpus;

        LoadMeasurement::Settings load() const { return {offeredRate, window, warmUp, measure}; }
    };

    // The relay's devices are units from here on.
    static constexpr std::uint64_t relayFirstUnit = 1'000'001;
    // Descriptors the target keeps for itself beyond those open when idle: API sessions
    // reconnecting, the resolver, a socket being accepted.
    static constexpr std::size_t descriptorReserve = 16;

    BenchRun(boost::asio::io_context &io, Settings settings);

    // Runs everything and returns the figures.
    BenchReport run(boost::asio::yield_context yield);

    // The relay figures of one target: at the offered load and at saturation.
    struct RelayRuns
    {
        LoadMeasurement::Runs fixed, saturation;
        std::string syscallFailure; // empty when its system calls were counted
    };

private:
    cpu_set_t const *targetCpus() const
    {
        return settings.targetCpus ? &*settings.targetCpus : nullptr;
    }
    struct Scenario;
    struct AdmissionRuns
    {
        std::vector<double> rate, held, controllerHeld, perDeviceBytes, afterPercent, fleet;
    };

    struct ReloadRuns
    {
        std::vector<double> pause, newDevice, kept, reported, perDeviceBefore, perDeviceAfter;
    };
    // One reload while a bound of memory is full.
    struct HandOver
    {
        std::uint64_t beforeKiB = 0, peakKiB = 0, afterKiB = 0;
        std::uint64_t stateFileBytes = 0;
        double signalToTookOverMs = 0, handOverMs = 0, longestGapMs = 0, loopStoppedMs = 0;
        std::string tookOverLine;
    };
    struct HandOverRuns
    {
        // MiB, but for the times (ms) and the counts.
        std::vector<double> before, peak, peakOver, after, stateFile, signalToTookOver, handOver,
            pause, loopStopped, carried, dropped, takenOver;
        void add(HandOver const &run);
    };

    // Round trips with and without an operator paging through the device listing.
    struct ListingRuns
    {
        std::vector<double> fleet, quietP50, quietP99, quietMax, listingP50, listingP99, listingMax,
            listingRate, quietCpu, listingCpu, pagesPerSecond, pageP50, longestPage, bytesPerPage,
            passes, lookups, longestLookup;
    };

    std::unique_ptr<Scenario> makeScenario(std::size_t apiServers, bool withValidator);
    std::string logPath(std::string const &name) const;
    // extraConfiguration: sections of the configuration file added at its end.
    std::unique_ptr<ChildProcess> startController(Scenario &scenario, std::string const &name,
                                                  std::string const &extraConfiguration = "");
    std::unique_ptr<ChildProcess> startRelay(Scenario &scenario);
    bool waitRegistered(Scenario &scenario, ChildProcess &target, boost::asio::yield_context yield);
    std::unique_ptr<ChildProcess> startGenerator(Scenario &scenario, unsigned index,
                                                 std::uint64_t firstUnit, std::size_t count);
    std::vector<std::unique_ptr<ChildProcess>> startFleet(Scenario &scenario, std::size_t fleet);
    std::uint64_t heldBy(std::vector<std::unique_ptr<ChildProcess>> &generators,
                         boost::asio::yield_context yield);
    std::uint64_t settledResidentKiB(ProcessProbe const &probe, boost::asio::yield_context yield);
    AdmissionRuns measureAdmission(Scenario &scenario, ChildProcess &controller,
                                   boost::asio::yield_context yield);
    ReloadRuns measureReload(Scenario &scenario, boost::asio::yield_context yield);
    HandOverRuns measureQueueReload(boost::asio::yield_context yield);
    HandOverRuns measureRunningReload(boost::asio::yield_context yield);
    HandOver reloadAndSample(ChildProcess &controller, std::string const &log,
                             unsigned short metricsPort, BenchApiServer &flow,
                             boost::asio::yield_context yield);
    std::unique_ptr<ChildProcess> startFlow(Scenario &scenario, BenchApiServer &server,
                                            boost::asio::yield_context yield);
    std::vector<std::shared_ptr<HeldDevice>> startHeldDevices(Scenario &scenario,
                                                              std::uint64_t firstUnit,
                                                              std::size_t count,
                                                              boost::asio::yield_context yield);
    ListingRuns measureListing(boost::asio::yield_context yield);
    void addListingFigures(BenchReport &report, ListingRuns const &runs) const;
    void addReloadMemoryFigures(BenchReport &report, HandOverRuns const &queue,
                                HandOverRuns const &running) const;
    RelayRuns measureRelay(Scenario &scenario, ChildProcess &target,
                           boost::asio::yield_context yield);
    void pause(std::chrono::steady_clock::duration span, boost::asio::yield_context yield);
    // One section of relay figures, the controller's beside the bare relay's and the broker's.
    void addRelayFigures(BenchReport &report, std::string const &section, std::string const &suffix,
                         RelayRuns const &ours, RelayRuns const &floor, RelayRuns const &broker,
                         std::vector<BenchReport::Target> saturationTargets,
                         std::vector<BenchReport::Target> cpuTargets,
                         std::vector<BenchReport::Target> fixedP99Targets) const;

    boost::asio::io_context &io;
    Settings settings;
    std::string workDirectory;
    bool privateHosts = false;
};

} // namespace kelvarin::triggerTesting::bench
