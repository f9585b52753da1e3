#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>

namespace kelvarin::triggerTesting::bench
{

// Watches a controller through a reload from a thread of its own, so that the benchmark's busy
// event loop does not stretch the interval: every 5 ms it reads VmRSS from /proc/PID/status
// (the pid outlives the exec), the size of the state's memory file while one is open
// (/proc/PID/fd, a link to "/memfd:..."), and the new lines of the controller's log, in which it
// notes when "Reload: handing over" and "Reload: took over" first appear. Given the controller's
// metrics endpoint, a second thread asks it for /ready over and over, a new connection each
// time, 5 ms apart: the endpoint is served on the controller's event loop, so the longest time
// between two answers is the longest time the loop (of either program) served nothing.
class HandOverSampler
{
public:
    static constexpr std::chrono::milliseconds interval{5};

    struct Result
    {
        std::uint64_t samples = 0;
        std::uint64_t peakKiB = 0;
        std::uint64_t stateFileBytes = 0; // the largest memory file seen; 0 when none was
        // When each line was first seen, on the steady clock.
        std::optional<std::chrono::steady_clock::time_point> handingOver, tookOver;
        std::string tookOverLine;
        // The longest time between two samples, for a sampler that could not keep up.
        std::chrono::nanoseconds longestInterval{0};
        // Of the metrics endpoint: its answers, and the longest time between two of them.
        std::uint64_t answers = 0;
        std::chrono::nanoseconds longestUnanswered{0};
    };

    // The log is read from its start: the caller empties it first.
    HandOverSampler(pid_t pid, std::string logPath, unsigned short metricsPort = 0);
    ~HandOverSampler();
    HandOverSampler(HandOverSampler const &) = delete;
    HandOverSampler &operator=(HandOverSampler const &) = delete;

    bool tookOver() const { return seenTookOver.load(); }
    // Ends the sampling; the figures of the whole time.
    Result finish();

private:
    void run();
    void sample();
    void readLog();
    void probeLoop(unsigned short port);

    pid_t pid;
    std::string logPath;
    std::atomic<bool> stopping{false};
    std::atomic<bool> seenTookOver{false};
    Result result; // the thread's until it has been joined
    std::uint64_t logOffset = 0;
    std::string partialLine;
    std::uint64_t answers = 0; // the probe thread's until it has been joined
    std::chrono::nanoseconds longestUnanswered{0};
    std::thread thread, probe;
};

} // namespace kelvarin::triggerTesting::bench
