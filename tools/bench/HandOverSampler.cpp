#include "bench/HandOverSampler.hpp"

#include "bench/ProcessProbe.hpp"

#include <filesystem>
#include <fstream>
#include <string_view>
#include <sys/stat.h>

namespace kelvarin::triggerTesting::bench
{

namespace
{

constexpr std::string_view handingOverLine = "Reload: handing over";
constexpr std::string_view tookOverLine = "Reload: took over";

// The size of the first open memory file of the process, or 0.
std::uint64_t memoryFileBytes(pid_t pid)
{
    std::error_code ec;
    auto const directory = "/proc/" + std::to_string(pid) + "/fd";
    for (auto it = std::filesystem::directory_iterator(directory, ec);
         !ec && it != std::filesystem::directory_iterator(); it.increment(ec))
    {
        std::error_code linkError;
        auto const target = std::filesystem::read_symlink(it->path(), linkError);
        if (linkError || !target.string().starts_with("/memfd:"))
            continue;
        struct stat status{};
        if (::stat(it->path().c_str(), &status) == 0)
            return static_cast<std::uint64_t>(status.st_size);
    }
    return 0;
}

} // namespace

HandOverSampler::HandOverSampler(pid_t pid, std::string logPath)
    : pid(pid), logPath(std::move(logPath)), thread([this] { run(); })
{
}

HandOverSampler::~HandOverSampler()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
}

HandOverSampler::Result HandOverSampler::finish()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    return result;
}

void HandOverSampler::run()
{
    auto next = std::chrono::steady_clock::now();
    auto last = next;
    while (!stopping)
    {
        sample();
        auto const now = std::chrono::steady_clock::now();
        if (result.samples > 1)
            result.longestInterval =
                std::max<std::chrono::nanoseconds>(result.longestInterval, now - last);
        last = now;
        next += interval;
        if (next < now)
            next = now;
        std::this_thread::sleep_until(next);
    }
}

void HandOverSampler::sample()
{
    std::uint64_t resident = 0;
    try
    {
        resident = ProcessProbe(pid).residentKiB();
    }
    catch (std::exception const &)
    {
        // Between the exec's start and its end the file may lack the line; the next one counts.
    }
    auto const file = memoryFileBytes(pid);
    ++result.samples;
    result.peakKiB = std::max(result.peakKiB, resident);
    result.stateFileBytes = std::max(result.stateFileBytes, file);
    readLog();
}

void HandOverSampler::readLog()
{
    std::ifstream in(logPath, std::ios::binary);
    in.seekg(0, std::ios::end);
    auto const size = static_cast<std::uint64_t>(in.tellg());
    if (!in || size <= logOffset)
        return;
    in.seekg(static_cast<std::streamoff>(logOffset));
    std::string chunk(size - logOffset, '\0');
    in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    chunk.resize(static_cast<std::size_t>(in.gcount()));
    logOffset += chunk.size();
    auto const seen = std::chrono::steady_clock::now();
    partialLine += chunk;
    std::size_t start = 0;
    for (auto end = partialLine.find('\n'); end != std::string::npos;
         start = end + 1, end = partialLine.find('\n', start))
    {
        std::string_view const line(partialLine.data() + start, end - start);
        if (!result.handingOver && line.starts_with(handingOverLine))
            result.handingOver = seen;
        if (!result.tookOver && line.starts_with(tookOverLine))
        {
            result.tookOver = seen;
            result.tookOverLine = std::string(line);
            seenTookOver = true;
        }
    }
    partialLine.erase(0, start);
}

} // namespace kelvarin::triggerTesting::bench
