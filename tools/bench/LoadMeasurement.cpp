#include "bench/LoadMeasurement.hpp"

#include "bench/BenchReport.hpp"
#include "bench/BenchSupport.hpp"
#include "bench/DeviceGenerator.hpp"
#include "bench/ProcessProbe.hpp"
#include "bench/SyscallCounter.hpp"

#include <algorithm>
#include <optional>

namespace kelvarin::triggerTesting::bench
{

using std::chrono::milliseconds;
using std::chrono::seconds;

namespace
{

std::uint64_t outstanding(std::vector<RoundTripLoad *> const &loads)
{
    std::uint64_t total = 0;
    for (auto const *load : loads)
        total += load->outstanding();
    return total;
}

} // namespace

LoadMeasurement::LoadMeasurement(boost::asio::io_context &io, Settings settings,
                                 ChildProcess &target)
    : io(io), settings(settings), target(target)
{
}

void LoadMeasurement::measure(std::vector<RoundTripLoad *> const &loads, bool saturate,
                              boost::asio::yield_context yield)
{
    for (auto *load : loads)
    {
        if (saturate)
            load->runClosedLoop(std::max<std::size_t>(1, settings.window / loads.size()));
        else
            load->runOpenLoop(settings.offeredRate / static_cast<double>(loads.size()));
    }
    pauseFor(io, settings.warmUp, yield);
    auto const sample = takeWindow(loads, yield);
    for (auto *load : loads)
        load->halt();
    auto const deadline = std::chrono::steady_clock::now() + seconds(5);
    while (outstanding(loads) > 0 && std::chrono::steady_clock::now() < deadline)
        pauseFor(io, milliseconds(10), yield);
    target.truncateLog();
    record(sample, saturate, outstanding(loads));
}

LoadMeasurement::Sample LoadMeasurement::takeWindow(std::vector<RoundTripLoad *> const &loads,
                                                    boost::asio::yield_context yield)
{
    ProcessProbe const probe(target.pid());
    // Opened after the warm-up, so that a thread the target started meanwhile is counted.
    SyscallCounter const syscalls(target.pid());
    auto const callsBefore = syscalls.count();
    auto const cpuBefore = probe.cpuTimes();
    auto const start = monotonicNanoseconds();
    for (auto *load : loads)
        load->beginWindow();
    pauseFor(io, settings.measure, yield);
    Sample sample;
    for (auto *load : loads)
    {
        auto window = load->endWindow();
        sample.completed += window.completed;
        for (auto ns : window.latenciesNs)
            sample.latencies.push_back(static_cast<double>(ns) / 1e6);
    }
    sample.seconds = toSeconds(monotonicNanoseconds() - start);
    auto const cpuAfter = probe.cpuTimes();
    auto const callsAfter = syscalls.count();
    sample.user = cpuAfter.user - cpuBefore.user;
    sample.system = cpuAfter.system - cpuBefore.system;
    if (callsBefore && callsAfter)
        sample.calls = *callsAfter - *callsBefore;
    else
        syscallsWhyNot = syscalls.failure();
    std::sort(sample.latencies.begin(), sample.latencies.end());
    return sample;
}

void LoadMeasurement::record(Sample const &sample, bool saturate, std::uint64_t unanswered)
{
    auto const &latencies = sample.latencies;
    auto const rate = static_cast<double>(sample.completed) / sample.seconds;
    auto const trips = static_cast<double>(std::max<std::uint64_t>(sample.completed, 1));
    std::optional<double> callsPerTrip;
    if (sample.calls)
        callsPerTrip = static_cast<double>(*sample.calls) / trips;
    say(std::string("  ") + (saturate ? "saturation" : "offered load") + ": " +
        std::to_string(static_cast<long>(rate)) + " round trips/s, p50 " +
        std::to_string(quantile(latencies, 0.5)) + " ms, p99 " +
        std::to_string(quantile(latencies, 0.99)) + " ms, p99.9 " +
        std::to_string(quantile(latencies, 0.999)) + " ms, CPU " + std::to_string(sample.user) +
        " s user + " + std::to_string(sample.system) + " s system" +
        (callsPerTrip ? ", " + std::to_string(*callsPerTrip) + " system calls per round trip"
                      : "") +
        (unanswered ? ", " + std::to_string(unanswered) + " never answered" : ""));
    if (latencies.empty())
        return;
    auto &runs = saturate ? saturationRuns : fixedRuns;
    runs.rate.push_back(rate);
    runs.p50.push_back(quantile(latencies, 0.5));
    runs.p99.push_back(quantile(latencies, 0.99));
    runs.p999.push_back(quantile(latencies, 0.999));
    runs.cpuPer100k.push_back((sample.user + sample.system) / trips * 1e5);
    runs.userMicros.push_back(sample.user / trips * 1e6);
    runs.systemMicros.push_back(sample.system / trips * 1e6);
    if (callsPerTrip)
        runs.syscalls.push_back(*callsPerTrip);
}

} // namespace kelvarin::triggerTesting::bench
