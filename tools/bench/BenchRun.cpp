#include "bench/BenchRun.hpp"

#include "bench/BenchScenario.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/BrokerBench.hpp"
#include "bench/DeviceGenerator.hpp"
#include "bench/ProcessProbe.hpp"
#include "sim/SimValidator.hpp"

#include <boost/asio/steady_timer.hpp>

#include <algorithm>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <numeric>
#include <optional>
#include <sstream>
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

// The API servers listen on these, all on one port, as the controller has one service for
// both host names; the validator beside them.
char const *const apiAddresses[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
char const *const validatorAddress = "127.0.0.9";
char const *const allHostname = "tt-bench-api-all";
char const *const bestHostname = "tt-bench-api-best";
constexpr std::size_t devicesPerGenerator = 10000;
// The tests flowing through a reload: often enough to time the pause to the millisecond, few
// enough that the fleet's memory is that of idle devices.
constexpr double reloadTestRate = 2000;
constexpr unsigned newcomerGenerator = 40;

} // namespace

BenchRun::BenchRun(net::io_context &io, Settings settings) : io(io), settings(std::move(settings))
{
    char pattern[] = "/tmp/tt_bench.XXXXXX";
    if (!mkdtemp(pattern))
        throw std::runtime_error("cannot make a work directory in /tmp");
    workDirectory = pattern;
}

void BenchRun::pause(std::chrono::steady_clock::duration span, net::yield_context yield)
{
    pauseFor(io, span, yield);
}

std::unique_ptr<BenchRun::Scenario> BenchRun::makeScenario(std::size_t apiServers,
                                                           bool withValidator)
{
    auto scenario = std::make_unique<Scenario>();
    for (std::size_t i = 0; i < apiServers; ++i)
    {
        tcp::endpoint const endpoint(net::ip::make_address(apiAddresses[i]), scenario->apiPort);
        scenario->apis.push_back(
            std::make_unique<BenchApiServer>(io, endpoint, static_cast<std::uint32_t>(i + 1)));
        scenario->apiPort = scenario->apis.back()->localEndpoint().port();
    }
    if (withValidator)
        scenario->validator.emplace(
            io, tcp::endpoint(net::ip::make_address(validatorAddress), scenario->apiPort),
            sim::ValidationPolicy(), [](std::string const &) {});
    scenario->devicePort = freePort();
    return scenario;
}

std::string BenchRun::logPath(std::string const &name) const
{
    return settings.logDirectory + "/bench-" + name + ".log";
}

std::unique_ptr<ChildProcess> BenchRun::startController(Scenario &scenario, std::string const &name,
                                                        std::string const &extraConfiguration)
{
    auto const hosts = workDirectory + "/hosts-" + name;
    auto const config = workDirectory + "/" + name + ".cfg";
    {
        std::ofstream out(hosts);
        out << "127.0.0.1 localhost\n";
        for (std::size_t i = 0; i < scenario.apis.size(); ++i)
            out << apiAddresses[i] << " " << allHostname << "\n";
        out << validatorAddress << " " << bestHostname << "\n";
    }
    {
        std::ofstream out(config);
        out << "[api-side]\n"
            << "all-hostname=" << (privateHosts ? allHostname : apiAddresses[0]) << "\n"
            << "best-hostname=" << (privateHosts ? bestHostname : validatorAddress) << "\n"
            << "service=" << scenario.apiPort << "\n"
            << "refresh-interval=5\n"
            << "[device-side]\n"
            << "listen-service=" << scenario.devicePort << "\n"
            << extraConfiguration;
    }
    std::vector<std::string> argv;
    if (privateHosts)
        // unshare and sh exec in place, so the pid is the controller's.
        argv = {"/usr/bin/unshare",
                "--mount",
                "/bin/sh",
                "-c",
                "mount --bind \"$0\" /etc/hosts && exec \"$@\"",
                hosts};
    argv.insert(argv.end(), {settings.controller, "-c", config});
    auto const log = logPath(name);
    say("starting " + name + " (standard error to " + log + ")");
    return std::make_unique<ChildProcess>(io, argv, log, targetCpus());
}

std::unique_ptr<ChildProcess> BenchRun::startRelay(Scenario &scenario)
{
    std::vector<std::string> argv = {settings.self, "relay", "--listen",
                                     "127.0.0.1:" + std::to_string(scenario.devicePort)};
    // A program that runs the relay under it, for a profile of the floor.
    if (char const *wrapper = std::getenv("TT_BENCH_RELAY_WRAPPER"))
        argv.insert(argv.begin(), wrapper);
    for (auto const &api : scenario.apis)
    {
        auto const endpoint = api->localEndpoint();
        argv.insert(argv.end(), {"--api", endpoint.address().to_string() + ":" +
                                              std::to_string(endpoint.port())});
    }
    auto const log = settings.logDirectory + "/bench-" + scenario.label + ".log";
    say("starting " + scenario.label);
    return std::make_unique<ChildProcess>(io, argv, log, targetCpus());
}

bool BenchRun::waitRegistered(Scenario &scenario, ChildProcess &target, net::yield_context yield)
{
    auto const deadline = std::chrono::steady_clock::now() + seconds(20);
    while (std::chrono::steady_clock::now() < deadline && target.running())
    {
        bool ready = std::all_of(scenario.apis.begin(), scenario.apis.end(),
                                 [](auto const &api) { return api->registered(); });
        if (scenario.validator)
            ready = ready && scenario.validator->stats().controllersRegistered > 0;
        if (ready)
            return true;
        pause(milliseconds(10), yield);
    }
    return false;
}

std::unique_ptr<ChildProcess> BenchRun::startGenerator(Scenario &scenario, unsigned index,
                                                       std::uint64_t firstUnit, std::size_t count)
{
    // Each generator has source addresses of its own in 127.0.0.0/8.
    std::vector<std::string> argv = {
        settings.self,   "devices",
        "--controller",  "127.0.0.1:" + std::to_string(scenario.devicePort),
        "--first-unit",  std::to_string(firstUnit),
        "--count",       std::to_string(count),
        "--source",      "127.0." + std::to_string(10 + index) + ".1",
        "--sources",     "16",
        "--result-size", std::to_string(settings.resultSize)};
    return std::make_unique<ChildProcess>(io, argv, "");
}

std::vector<std::unique_ptr<ChildProcess>> BenchRun::startFleet(Scenario &scenario,
                                                                std::size_t fleet)
{
    std::vector<std::unique_ptr<ChildProcess>> generators;
    for (std::size_t first = 0; first < fleet; first += devicesPerGenerator)
        generators.push_back(startGenerator(scenario, static_cast<unsigned>(generators.size()),
                                            1 + first,
                                            std::min(devicesPerGenerator, fleet - first)));
    return generators;
}

std::uint64_t BenchRun::heldBy(std::vector<std::unique_ptr<ChildProcess>> &generators,
                               net::yield_context yield)
{
    std::uint64_t held = 0;
    for (auto &generator : generators)
    {
        generator->signal(SIGUSR1);
        auto const fields = words(generator->readLine(seconds(10), yield).value_or(""));
        if (fields.size() == 2 && fields[0] == "held")
            held += std::stoull(fields[1]);
    }
    return held;
}

// The size a process comes to once what it freed has gone back to the system: an allocator
// may hand pages back a while after they were freed. Taken once it has not shrunk for a second,
// after ten seconds at most.
std::uint64_t BenchRun::settledResidentKiB(ProcessProbe const &probe, net::yield_context yield)
{
    auto const deadline = std::chrono::steady_clock::now() + seconds(10);
    auto lowest = probe.residentKiB();
    auto lowestSince = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() < deadline &&
           std::chrono::steady_clock::now() - lowestSince < seconds(1))
    {
        pause(milliseconds(100), yield);
        if (auto const now = probe.residentKiB(); now < lowest)
        {
            lowest = now;
            lowestSince = std::chrono::steady_clock::now();
        }
    }
    return lowest;
}

BenchRun::AdmissionRuns BenchRun::measureAdmission(Scenario &scenario, ChildProcess &controller,
                                                   net::yield_context yield)
{
    AdmissionRuns runs;
    ProcessProbe const probe(controller.pid());
    // Every run is measured against the size before the first fleet: memory a fleet leaves
    // behind in the allocator is reused by the next and would hide what a device costs.
    auto const residentAtStart = probe.residentKiB();
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        auto const descriptorsBefore = probe.openDescriptors();
        auto const residentBefore = probe.residentKiB();
        auto const fleet = settings.fleet
                               ? settings.fleet
                               : descriptorLimit() - descriptorsBefore - descriptorReserve;
        say("admission " + std::to_string(rep + 1) + "/" + std::to_string(settings.repetitions) +
            ": " + std::to_string(fleet) + " devices, controller at " +
            std::to_string(residentBefore) + " KiB with " + std::to_string(descriptorsBefore) +
            " descriptors");
        auto generators = startFleet(scenario, fleet);
        std::uint64_t admitted = 0, failed = 0;
        std::int64_t first = 0, last = 0;
        for (auto &generator : generators)
        {
            auto const line = generator->readLine(seconds(120), yield);
            auto const fields = words(line.value_or(""));
            if (fields.size() != 6 || fields[0] != "admission")
                throw std::runtime_error("a device generator gave no admission figures");
            admitted += std::stoull(fields[1]);
            failed += std::stoull(fields[2]) + std::stoull(fields[3]);
            std::int64_t const start = std::stoll(fields[4]), end = std::stoll(fields[5]);
            first = first ? std::min(first, start) : start;
            last = std::max(last, end);
        }
        auto const residentWith = settledResidentKiB(probe, yield);
        auto const held = heldBy(generators, yield);
        auto const descriptorsHeld = probe.openDescriptors() - descriptorsBefore;
        auto const reportsBefore = scenario.disconnectionsReported();
        for (auto &generator : generators)
            generator->stop(yield);
        // Gone means: every socket closed and every disconnection reported to the validator.
        auto const deadline = std::chrono::steady_clock::now() + seconds(60);
        while (std::chrono::steady_clock::now() < deadline &&
               (probe.openDescriptors() > descriptorsBefore ||
                scenario.disconnectionsReported() < reportsBefore + admitted))
            pause(milliseconds(20), yield);
        auto const residentAfter = settledResidentKiB(probe, yield);
        controller.truncateLog();

        say("  admitted " + std::to_string(admitted) + " (" + std::to_string(failed) +
            " refused or failed) in " + std::to_string(toSeconds(last - first)) + " s; held " +
            std::to_string(held) + "; RSS " + std::to_string(residentBefore) + " -> " +
            std::to_string(residentWith) + " -> " + std::to_string(residentAfter) + " KiB");
        runs.fleet.push_back(static_cast<double>(fleet));
        runs.rate.push_back(last > first ? static_cast<double>(admitted) / toSeconds(last - first)
                                         : 0);
        runs.held.push_back(static_cast<double>(held));
        runs.controllerHeld.push_back(static_cast<double>(descriptorsHeld));
        if (held > 0)
            runs.perDeviceBytes.push_back(
                static_cast<double>(static_cast<std::int64_t>(residentWith) -
                                    static_cast<std::int64_t>(residentAtStart)) *
                1024.0 / static_cast<double>(held));
        runs.afterPercent.push_back(100.0 * static_cast<double>(residentAfter) /
                                    static_cast<double>(residentAtStart));
    }
    return runs;
}

// Each run has a controller of its own, so that the memory per device is counted from the
// size of an idle controller, as in the admission figures: it takes in a fleet, tests flow to
// it from one API server, and SIGHUP reloads it. The pause is the longest time in which no
// test came back; a device that connects right after the signal waits in the backlog until
// the new program accepts it, and is then validated through the new program's own validator
// connection, so its admission times a reload that serves again end to end.
BenchRun::ReloadRuns BenchRun::measureReload(Scenario &scenario, net::yield_context yield)
{
    ReloadRuns runs;
    auto &api = *scenario.apis.front();
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        auto controller = startController(scenario, scenario.label);
        if (!waitRegistered(scenario, *controller, yield))
            throw std::runtime_error("the controller did not register with its API servers");
        ProcessProbe const probe(controller->pid());
        auto const residentIdle = probe.residentKiB();
        // One descriptor is kept for the device that connects during the reload.
        auto const fleet =
            settings.fleet ? settings.fleet
                           : descriptorLimit() - probe.openDescriptors() - descriptorReserve - 1;
        say("reload " + std::to_string(rep + 1) + "/" + std::to_string(settings.repetitions) +
            ": " + std::to_string(fleet) + " devices, " +
            std::to_string(static_cast<long>(reloadTestRate)) + " tests/s");
        auto generators = startFleet(scenario, fleet);
        for (auto &generator : generators)
            generator->readLine(seconds(120), yield);
        controller->truncateLog();
        std::vector<std::uint64_t> units(fleet);
        std::iota(units.begin(), units.end(), 1);
        api.setUnits(std::move(units));
        api.load().runOpenLoop(reloadTestRate);
        pause(settings.warmUp, yield);
        auto const heldBefore = heldBy(generators, yield);
        auto const residentBefore = probe.residentKiB();
        auto const reportsBefore = scenario.disconnectionsReported();

        api.load().beginWindow();
        auto const signalled = monotonicNanoseconds();
        controller->signal(SIGHUP);
        auto newcomer = startGenerator(scenario, newcomerGenerator, fleet + 1, 1);
        auto const admission = words(newcomer->readLine(seconds(30), yield).value_or(""));
        auto const afterNewcomer = monotonicNanoseconds();
        pause(settings.measure, yield);
        auto const window = api.load().endWindow();
        api.load().halt();
        auto const heldAfter = heldBy(generators, yield);
        auto const residentAfter = probe.residentKiB();
        auto const reported = scenario.disconnectionsReported() - reportsBefore;
        if (!controller->running())
            throw std::runtime_error("the controller ended in its reload");

        auto const perDevice = [residentIdle](std::uint64_t resident, std::uint64_t held)
        {
            return static_cast<double>(static_cast<std::int64_t>(resident) -
                                       static_cast<std::int64_t>(residentIdle)) *
                   1024.0 / static_cast<double>(std::max<std::uint64_t>(held, 1));
        };
        // A device never admitted counts with the time waited for it, so the figure shows.
        bool const newcomerAdmitted =
            admission.size() == 6 && admission[0] == "admission" && admission[1] == "1";
        runs.newDevice.push_back(
            static_cast<double>((newcomerAdmitted ? std::stoll(admission[5]) : afterNewcomer) -
                                signalled) /
            1e6);
        runs.pause.push_back(static_cast<double>(window.longestGapNs) / 1e6);
        runs.kept.push_back(static_cast<double>(heldAfter));
        runs.reported.push_back(static_cast<double>(reported));
        runs.perDeviceBefore.push_back(perDevice(residentBefore, heldBefore));
        runs.perDeviceAfter.push_back(perDevice(residentAfter, heldAfter));
        say("  held " + std::to_string(heldBefore) + " -> " + std::to_string(heldAfter) +
            ", longest gap " + std::to_string(runs.pause.back()) + " ms, new device " +
            std::to_string(runs.newDevice.back()) + " ms" +
            (newcomerAdmitted ? "" : " (not admitted)") + ", " + std::to_string(reported) +
            " disconnections reported, RSS " + std::to_string(residentIdle) + " -> " +
            std::to_string(residentBefore) + " -> " + std::to_string(residentAfter) + " KiB");

        newcomer->stop(yield);
        for (auto &generator : generators)
            generator->stop(yield);
        controller->stop(yield, seconds(30));
    }
    return runs;
}

BenchRun::RelayRuns BenchRun::measureRelay(Scenario &scenario, ChildProcess &target,
                                           net::yield_context yield)
{
    auto generator = startGenerator(scenario, 50, relayFirstUnit, settings.relayDevices);
    auto const fields = words(generator->readLine(seconds(60), yield).value_or(""));
    if (fields.size() != 6 || fields[0] != "admission" ||
        std::stoull(fields[1]) != settings.relayDevices)
        throw std::runtime_error("the relay's devices were not all admitted");
    std::vector<std::uint64_t> units;
    for (std::size_t i = 0; i < settings.relayDevices; ++i)
        units.push_back(relayFirstUnit + i);
    std::vector<RoundTripLoad *> loads;
    for (auto &api : scenario.apis)
    {
        api->setUnits(units);
        loads.push_back(&api->load());
    }
    LoadMeasurement measurement(io, settings.load(), target);
    for (unsigned rep = 0; rep < settings.repetitions; ++rep)
    {
        say(scenario.label + " relay " + std::to_string(rep + 1) + "/" +
            std::to_string(settings.repetitions));
        measurement.measure(loads, false, yield);
        measurement.measure(loads, true, yield);
    }
    generator->stop(yield);
    return {measurement.fixed(), measurement.saturation(), measurement.syscallFailure()};
}

void BenchRun::addRelayFigures(BenchReport &report, std::string const &section,
                               std::string const &suffix, RelayRuns const &ours,
                               RelayRuns const &floor, RelayRuns const &broker,
                               std::vector<BenchReport::Target> saturationTargets,
                               std::vector<BenchReport::Target> cpuTargets,
                               std::vector<BenchReport::Target> fixedP99Targets) const
{
    using Runs = LoadMeasurement::Runs;
    auto add = [&](std::string const &key, std::string const &name, std::string const &unit,
                   Runs RelayRuns::*mode, std::vector<double> Runs::*figure,
                   std::vector<BenchReport::Target> goals = {})
    {
        report.add(section, {key + "_" + suffix, name, unit, (ours.*mode).*figure,
                             (floor.*mode).*figure, std::move(goals), (broker.*mode).*figure});
    };
    // What a round trip costs the target, under the figures of one mode.
    auto perTrip = [&](std::string const &prefix, Runs RelayRuns::*mode)
    {
        add(prefix + "_syscalls", "  system calls", "per round trip", mode, &Runs::syscalls);
        add(prefix + "_user_us", "  user CPU", "µs per round trip", mode, &Runs::userMicros);
        add(prefix + "_system_us", "  system CPU", "µs per round trip", mode, &Runs::systemMicros);
    };
    auto const saturation = &RelayRuns::saturation, fixed = &RelayRuns::fixed;
    add("saturation", "round trips at saturation", "1/s", saturation, &Runs::rate,
        std::move(saturationTargets));
    add("saturation_p50", "  latency p50", "ms", saturation, &Runs::p50);
    add("saturation_p99", "  latency p99", "ms", saturation, &Runs::p99);
    add("saturation_p999", "  latency p99.9", "ms", saturation, &Runs::p999);
    add("cpu_per_100k", "CPU per 100,000 round trips", "s", saturation, &Runs::cpuPer100k,
        std::move(cpuTargets));
    perTrip("saturation", saturation);
    auto const offered = std::to_string(static_cast<long>(settings.offeredRate));
    add("fixed_rate", "round trips at " + offered + "/s offered", "1/s", fixed, &Runs::rate);
    add("fixed_p50", "  latency p50", "ms", fixed, &Runs::p50);
    add("fixed_p99", "  latency p99", "ms", fixed, &Runs::p99, std::move(fixedP99Targets));
    add("fixed_p999", "  latency p99.9", "ms", fixed, &Runs::p999);
    perTrip("fixed", fixed);
}

BenchReport BenchRun::run(net::yield_context yield)
{
    raiseDescriptorLimit();
    BenchReport report(describeMachine());
    privateHosts = geteuid() == 0 && std::system("/usr/bin/unshare --mount true 2>/dev/null") == 0;
    std::vector<std::size_t> serverCounts = {1};
    if (privateHosts)
        serverCounts.push_back(4);
    else
        report.note("no private /etc/hosts possible (needs root): one API server only");

    // Every phase, or the one asked for.
    bool const all = settings.only.empty();
    AdmissionRuns admission;
    std::vector<RelayRuns> controllerRuns, relayRuns;
    for (auto const servers : all ? serverCounts : std::vector<std::size_t>{})
    {
        auto scenario = makeScenario(servers, true);
        scenario->label = "controller-" + std::to_string(servers) + "api";
        auto controller = startController(*scenario, scenario->label);
        if (!waitRegistered(*scenario, *controller, yield))
            throw std::runtime_error("the controller did not register with its API servers");
        if (servers == 1)
            admission = measureAdmission(*scenario, *controller, yield);
        controllerRuns.push_back(measureRelay(*scenario, *controller, yield));
        controller->stop(yield);
    }
    ReloadRuns reload;
    if (settings.reload && all)
    {
        auto scenario = makeScenario(1, true);
        scenario->label = "controller-reload";
        reload = measureReload(*scenario, yield);
    }
    HandOverRuns queueReload, runningReload;
    bool const reloadMemory = settings.reload && (all || settings.only == "reload-memory");
    if (reloadMemory)
    {
        // Two API servers need the private /etc/hosts.
        if (privateHosts)
            queueReload = measureQueueReload(yield);
        else
            report.note("no reload with a full API queue: it needs two API servers");
        runningReload = measureRunningReload(yield);
    }
    ListingRuns listing;
    bool const listed = all || settings.only == "listing";
    if (listed)
        listing = measureListing(yield);
    for (auto const servers : all ? serverCounts : std::vector<std::size_t>{})
    {
        auto scenario = makeScenario(servers, false);
        scenario->label = "bare-relay-" + std::to_string(servers) + "api";
        auto relay = startRelay(*scenario);
        if (!waitRegistered(*scenario, *relay, yield))
            throw std::runtime_error("the bare relay did not register with its API servers");
        relayRuns.push_back(measureRelay(*scenario, *relay, yield));
        relay->stop(yield);
    }
    std::optional<BrokerBench::Runs> brokerRuns;
    if (all)
    {
#ifdef TT_BENCH_MOSQUITTO
        BrokerBench broker(io, settings, workDirectory);
        brokerRuns = broker.run(yield);
        if (!brokerRuns)
            report.note("no mosquitto column: " + broker.whyNot());
#else
        report.note("no mosquitto column: tt_bench was built without libmosquitto-dev");
#endif
    }
    std::filesystem::remove_all(workDirectory);

    // The goals of this round of work; a quick run has none.
    using Target = BenchReport::Target;
    using Of = Target::Of;
    auto target = [this](bool atLeast, double value, Of of = Of::value) -> std::vector<Target>
    {
        if (settings.quick)
            return {};
        return {Target{atLeast, value, of}};
    };
    if (all)
    {
        std::string const fleetSection =
            "Admission: fleet of " + std::to_string(static_cast<long>(median(admission.fleet))) +
            " devices into one controller";
        report.add(
            fleetSection,
            {"admission_rate", "admitted", "devices/s", admission.rate, {}, target(true, 10000)});
        report.add(fleetSection, {"fleet_held",
                                  "validated devices held at once",
                                  "devices",
                                  admission.held,
                                  {},
                                  target(true, 19000)});
        report.add(fleetSection, {"controller_device_sockets",
                                  "controller's device sockets",
                                  "descriptors",
                                  admission.controllerHeld,
                                  {},
                                  {}});
        std::string const memorySection =
            brokerRuns ? "Memory: controller VmRSS (mosquitto: per idle subscribed client)"
                       : "Memory: controller VmRSS";
        report.add(memorySection,
                   {"rss_per_idle_device",
                    "per idle validated device",
                    "bytes",
                    admission.perDeviceBytes,
                    {},
                    target(false, 3072),
                    brokerRuns ? brokerRuns->perClientBytes : std::vector<double>{}});
        report.add(memorySection, {"rss_after_fleet_left",
                                   "after the fleet left, of the start",
                                   "percent",
                                   admission.afterPercent,
                                   {},
                                   target(false, 150)});
    }
    if (settings.reload && all)
    {
        std::string const reloadSection =
            "Reload: SIGHUP with " + std::to_string(static_cast<long>(median(reload.kept))) +
            " devices held, " + std::to_string(static_cast<long>(reloadTestRate)) +
            " tests/s flowing";
        report.add(reloadSection, {"reload_pause",
                                   "longest gap in round trips",
                                   "ms",
                                   reload.pause,
                                   {},
                                   target(false, 150)});
        report.add(reloadSection, {"reload_new_device",
                                   "SIGHUP to a new device admitted",
                                   "ms",
                                   reload.newDevice,
                                   {},
                                   target(false, 1000)});
        report.add(reloadSection,
                   {"reload_devices_kept", "devices held after", "devices", reload.kept, {}, {}});
        report.add(reloadSection, {"reload_disconnections",
                                   "disconnections reported",
                                   "reports",
                                   reload.reported,
                                   {},
                                   target(false, 0)});
        report.add(reloadSection, {"reload_rss_before",
                                   "per device before (over idle)",
                                   "bytes",
                                   reload.perDeviceBefore,
                                   {},
                                   {}});
        report.add(reloadSection, {"reload_rss_after",
                                   "per device after (over idle before)",
                                   "bytes",
                                   reload.perDeviceAfter,
                                   {},
                                   {}});
        std::ostringstream closing;
        closing << std::fixed;
        closing.precision(0);
        closing << "reload with " << median(reload.kept)
                << " devices held: the flow of round trips "
                << "paused " << median(reload.pause) << " ms, a new device was admitted "
                << median(reload.newDevice) << " ms after SIGHUP; memory per device "
                << median(reload.perDeviceBefore) << " B before, " << median(reload.perDeviceAfter)
                << " B after";
        report.note(closing.str());
    }
    if (reloadMemory)
        addReloadMemoryFigures(report, queueReload, runningReload);
    if (listed)
        addListingFigures(report, listing);
    for (std::size_t i = 0; i < controllerRuns.size(); ++i)
    {
        auto const servers = serverCounts[i];
        std::string const section = "Relay: " + std::to_string(servers) + " API server" +
                                    (servers > 1 ? "s, " : ", ") +
                                    std::to_string(settings.relayDevices) + " devices, " +
                                    std::to_string(settings.resultSize) + "-byte results";
        // The broker has one requester, the counterpart of one API server.
        RelayRuns const noBroker;
        auto const &broker = servers == 1 && brokerRuns ? brokerRuns->relay : noBroker;
        auto cpu = target(false, servers == 1 ? 1.25 : 1.2, Of::relay);
        if (servers == 1 && brokerRuns)
            for (auto const &toBroker : target(false, 0.85, Of::broker))
                cpu.push_back(toBroker);
        addRelayFigures(report, section, std::to_string(servers) + "api", controllerRuns[i],
                        relayRuns[i], broker, target(true, 0.8, Of::relay), std::move(cpu),
                        servers == 1 ? target(false, 1.0) : std::vector<Target>{});
    }
    std::string syscallFailure;
    for (auto const *runs : {&controllerRuns, &relayRuns})
        for (auto const &each : *runs)
            if (!each.syscallFailure.empty())
                syscallFailure = each.syscallFailure;
    if (brokerRuns && !brokerRuns->relay.syscallFailure.empty())
        syscallFailure = brokerRuns->relay.syscallFailure;
    if (!syscallFailure.empty())
        report.note("system calls were not counted (" + syscallFailure + "): shown as -");
    return report;
}

} // namespace kelvarin::triggerTesting::bench
