#include "bench/HandOverSampler.hpp"

#include "bench/ProcessProbe.hpp"

#include <arpa/inet.h>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <string_view>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

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
        struct stat status
        {
        };
        if (::stat(it->path().c_str(), &status) == 0)
            return static_cast<std::uint64_t>(status.st_size);
    }
    return 0;
}

// One request to the endpoint on 127.0.0.1, on a connection of its own; whether an answer came.
// Waits for it as long as it takes, unless told to stop.
bool askReady(unsigned short port, std::atomic<bool> const &stopping)
{
    int const socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return false;
    timeval const wait{0, 100'000};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool answered = false;
    constexpr std::string_view request =
        "GET /ready HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if (::connect(socket, reinterpret_cast<sockaddr const *>(&address), sizeof address) == 0 &&
        ::send(socket, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()))
    {
        char first[16];
        while (!stopping)
        {
            auto const got = ::recv(socket, first, sizeof first, 0);
            if (got > 0)
                answered =
                    std::string_view(first, static_cast<std::size_t>(got)).starts_with("HTTP/");
            if (got >= 0 || (errno != EAGAIN && errno != EINTR))
                break;
        }
    }
    ::close(socket);
    return answered;
}

} // namespace

HandOverSampler::HandOverSampler(pid_t pid, std::string logPath, unsigned short metricsPort)
    : pid(pid), logPath(std::move(logPath)), thread([this] { run(); })
{
    if (metricsPort != 0)
        probe = std::thread([this, metricsPort] { probeLoop(metricsPort); });
}

HandOverSampler::~HandOverSampler()
{
    finish();
}

HandOverSampler::Result HandOverSampler::finish()
{
    stopping = true;
    if (thread.joinable())
        thread.join();
    if (probe.joinable())
        probe.join();
    result.answers = answers;
    result.longestUnanswered = longestUnanswered;
    return result;
}

void HandOverSampler::probeLoop(unsigned short port)
{
    auto lastAnswer = std::chrono::steady_clock::now();
    while (!stopping)
    {
        if (askReady(port, stopping))
        {
            auto const now = std::chrono::steady_clock::now();
            if (answers > 0)
                longestUnanswered =
                    std::max<std::chrono::nanoseconds>(longestUnanswered, now - lastAnswer);
            lastAnswer = now;
            ++answers;
        }
        std::this_thread::sleep_for(interval);
    }
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
