#include "bench/SyscallCounter.hpp"

#include "bench/ProcessProbe.hpp"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <linux/perf_event.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace kelvarin::triggerTesting::bench
{

namespace
{

// The tracepoint's id, where tracefs is mounted in either of its usual places; 0 if neither.
std::uint64_t sysEnterId()
{
    for (char const *root : {"/sys/kernel/tracing", "/sys/kernel/debug/tracing"})
    {
        std::uint64_t id = 0;
        if (std::ifstream(std::string(root) + "/events/raw_syscalls/sys_enter/id") >> id)
            return id;
    }
    return 0;
}

int openCounter(std::uint64_t tracepoint, pid_t thread)
{
    perf_event_attr attr{};
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.config = tracepoint;
    attr.inherit = 1;
    return static_cast<int>(
        syscall(SYS_perf_event_open, &attr, thread, -1, -1, PERF_FLAG_FD_CLOEXEC));
}

} // namespace

SyscallCounter::SyscallCounter(pid_t pid)
{
    auto const tracepoint = sysEnterId();
    if (tracepoint == 0)
    {
        why = "no raw_syscalls:sys_enter tracepoint in tracefs";
        return;
    }
    for (auto const thread : ProcessProbe(pid).threads())
    {
        int const counter = openCounter(tracepoint, thread);
        if (counter >= 0)
        {
            counters.push_back(counter);
            continue;
        }
        // A thread that ended since the listing has nothing left to count.
        if (errno == ESRCH)
            continue;
        why = std::string("perf_event_open: ") + std::strerror(errno);
        break;
    }
    if (counters.empty() && why.empty())
        why = "no thread to count";
    if (why.empty())
        return;
    for (auto const counter : counters)
        close(counter);
    counters.clear();
}

SyscallCounter::~SyscallCounter()
{
    for (auto const counter : counters)
        close(counter);
}

std::optional<std::uint64_t> SyscallCounter::count() const
{
    if (counters.empty())
        return std::nullopt;
    std::uint64_t total = 0;
    for (auto const counter : counters)
    {
        std::uint64_t value = 0;
        if (read(counter, &value, sizeof value) != static_cast<ssize_t>(sizeof value))
            return std::nullopt;
        total += value;
    }
    return total;
}

} // namespace kelvarin::triggerTesting::bench
