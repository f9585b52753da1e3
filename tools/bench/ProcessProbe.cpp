#include "bench/ProcessProbe.hpp"

#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <sys/utsname.h>
#include <thread>
#include <unistd.h>

namespace kelvarin::triggerTesting::bench
{

namespace
{

std::string procPath(pid_t pid, char const *entry)
{
    return "/proc/" + std::to_string(pid) + "/" + entry;
}

// The number after "Name:" in a /proc file of "Name: value unit" lines.
std::uint64_t fieldOf(std::string const &path, std::string const &name)
{
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, name.size(), name) == 0)
            return std::stoull(line.substr(name.size()));
    throw std::runtime_error("no " + name + " in " + path);
}

} // namespace

std::uint64_t ProcessProbe::residentKiB() const
{
    return fieldOf(procPath(pid, "status"), "VmRSS:");
}

ProcessProbe::CpuTimes ProcessProbe::cpuTimes() const
{
    std::ifstream in(procPath(pid, "stat"));
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold blanks and parentheses; the fields after it do not.
    auto const end = stat.rfind(')');
    if (end == std::string::npos)
        throw std::runtime_error("unreadable stat of " + std::to_string(pid));
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    // After the name: state is field 3, so utime (14) is the 12th from here.
    for (int i = 3; i < 14; ++i)
        fields >> field;
    unsigned long long user = 0, system = 0;
    fields >> user >> system;
    auto const ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {static_cast<double>(user) / ticks, static_cast<double>(system) / ticks};
}

std::size_t ProcessProbe::openDescriptors() const
{
    std::size_t count = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(procPath(pid, "fd"), ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ++count;
    return count;
}

std::vector<pid_t> ProcessProbe::threads() const
{
    std::vector<pid_t> ids;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(procPath(pid, "task"), ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
        ids.push_back(static_cast<pid_t>(std::stol(it->path().filename().string())));
    return ids;
}

MachineInfo describeMachine()
{
    MachineInfo info;
    info.cores = std::thread::hardware_concurrency();
    info.memoryKiB = fieldOf("/proc/meminfo", "MemTotal:");
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0)
        {
            info.cpuModel = line.substr(line.find(':') + 2);
            break;
        }
    utsname names{};
    if (uname(&names) == 0)
        info.kernel = std::string(names.sysname) + " " + names.release;
    return info;
}

} // namespace kelvarin::triggerTesting::bench
