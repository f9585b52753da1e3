#pragma once

#include "bench/ChildProcess.hpp"
#include "bench/RoundTripLoad.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/spawn.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The relay figures of one target (the controller, the bare relay, the broker) under the load
// of its clients. Each run starts the loads, lets them warm up, then takes over one window the
// round trips, their latencies, the target's user and system CPU time (/proc/PID/stat) and its
// system calls (SyscallCounter), stops the loads and waits for the last answers.
class LoadMeasurement
{
public:
    struct Settings
    {
        double offeredRate = 10000; // round trips/s over all loads, in open loop
        std::size_t window = 256;   // requests outstanding over all loads, in closed loop
        std::chrono::milliseconds warmUp{500};
        std::chrono::milliseconds measure{2000};
    };

    // One value per run of each figure; system calls are left out where they cannot be counted.
    struct Runs
    {
        std::vector<double> rate, p50, p99, p999;     // round trips/s, ms
        std::vector<double> cpuPer100k;               // s
        std::vector<double> syscalls;                 // per round trip
        std::vector<double> userMicros, systemMicros; // CPU per round trip
    };

    LoadMeasurement(boost::asio::io_context &io, Settings settings, ChildProcess &target);

    // One run at the offered rate or, with saturate, closed-loop with the window outstanding.
    void measure(std::vector<RoundTripLoad *> const &loads, bool saturate,
                 boost::asio::yield_context yield);

    Runs const &fixed() const { return fixedRuns; }
    Runs const &saturation() const { return saturationRuns; }
    // Why the system calls were not counted; empty when they were.
    std::string const &syscallFailure() const { return syscallsWhyNot; }

private:
    // What one measurement window saw.
    struct Sample
    {
        std::uint64_t completed = 0;
        std::vector<double> latencies; // ms, sorted
        double seconds = 0;
        double user = 0, system = 0;        // the target's CPU seconds
        std::optional<std::uint64_t> calls; // the target's system calls, where counted
    };

    Sample takeWindow(std::vector<RoundTripLoad *> const &loads, boost::asio::yield_context yield);
    void record(Sample const &sample, bool saturate, std::uint64_t unanswered);

    boost::asio::io_context &io;
    Settings settings;
    ChildProcess &target;
    Runs fixedRuns, saturationRuns;
    std::string syscallsWhyNot;
};

} // namespace kelvarin::triggerTesting::bench
