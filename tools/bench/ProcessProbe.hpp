#pragma once

#include <cstdint>
#include <string>
#include <sys/types.h>

namespace kelvarin::triggerTesting::bench
{

// What /proc tells about one process: resident memory, CPU time used and open descriptors.
class ProcessProbe
{
public:
    explicit ProcessProbe(pid_t pid) : pid(pid) {}

    // VmRSS in KiB.
    std::uint64_t residentKiB() const;
    // User plus system time in seconds (fields 14 and 15 of /proc/PID/stat).
    double cpuSeconds() const;
    std::size_t openDescriptors() const;

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
