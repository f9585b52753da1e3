#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// Counts the system calls one process makes, in all its threads: a perf counter of the
// tracepoint raw_syscalls:sys_enter on each thread of /proc/PID/task, each inherited by the
// threads that thread starts later. No perf binary is needed, only perf_event_open(2) and the
// tracepoint's id from tracefs; where either is not to be had, nothing is counted and
// failure() says why.
class SyscallCounter
{
public:
    explicit SyscallCounter(pid_t pid);
    ~SyscallCounter();
    SyscallCounter(SyscallCounter const &) = delete;
    SyscallCounter &operator=(SyscallCounter const &) = delete;

    // The calls since the counters were opened, or nothing when they could not be.
    std::optional<std::uint64_t> count() const;
    std::string const &failure() const { return why; }

private:
    std::vector<int> counters;
    std::string why;
};

} // namespace kelvarin::triggerTesting::bench
