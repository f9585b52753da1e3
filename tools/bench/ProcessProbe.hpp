#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// What /proc tells about one process: resident memory, CPU time used, open descriptors and
// its threads.
class ProcessProbe
{
public:
    struct CpuTimes
    {
        double user = 0;   // seconds, field 14 of /proc/PID/stat
        double system = 0; // seconds, field 15
        double total() const { return user + system; }
    };

    explicit ProcessProbe(pid_t pid) : pid(pid) {}

    // VmRSS in KiB.
    std::uint64_t residentKiB() const;
    CpuTimes cpuTimes() const;
    std::size_t openDescriptors() const;
    // The thread ids of /proc/PID/task.
    std::vector<pid_t> threads() const;

private:
    pid_t pid;
};

// The machine the figures were taken on.
struct MachineInfo
{
    unsigned cores = 0;
    std::uint64_t memoryKiB = 0;
    std::string cpuModel;
    std::string kernel;
};
MachineInfo describeMachine();

} // namespace kelvarin::triggerTesting::bench
