#include "app/reload/ProgramReplacement.hpp"

#include "app/reload/SessionJoin.hpp"

#include <boost/asio/post.hpp>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <pthread.h>
#include <stdexcept>
#include <string_view>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_set>

extern char **environ;

namespace kelvarin::triggerTesting
{

namespace
{

std::error_code lastError()
{
    return {errno, std::system_category()};
}

std::string searchPath(std::string const &name)
{
    char const *const path = std::getenv("PATH");
    std::string_view directories = path != nullptr ? path : "/usr/sbin:/usr/bin:/sbin:/bin";
    while (!directories.empty())
    {
        auto const end = directories.find(':');
        std::filesystem::path candidate(std::string(directories.substr(0, end)));
        candidate /= name;
        if (::access(candidate.c_str(), X_OK) == 0)
            return std::filesystem::absolute(candidate).string();
        if (end == std::string_view::npos)
            break;
        directories.remove_prefix(end + 1);
    }
    return name;
}

// The libraries open their sockets without close-on-exec: whatever the next program is not
// handed (the metrics endpoint's listener and clients, the validator connection, connections
// given up) must not stay open in it, where a listener would keep its address from being bound
// again and a connection would never be closed. Standard input, output and error stay.
void closeEverythingOnExec()
{
    if (::close_range(3, ~0U, CLOSE_RANGE_CLOEXEC) == 0)
        return;
    // A kernel without the flag: each open descriptor in turn.
    std::error_code ec;
    for (auto const &entry : std::filesystem::directory_iterator("/proc/self/fd", ec))
    {
        auto const name = entry.path().filename().string();
        int descriptor = -1;
        std::from_chars(name.data(), name.data() + name.size(), descriptor);
        if (descriptor > 2)
            ::fcntl(descriptor, F_SETFD, ::fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
    }
}

// Close-on-exec cleared on each descriptor, and set again on them when the exec fails.
std::error_code keepAcrossExec(std::vector<int> const &kept)
{
    for (int const descriptor : kept)
    {
        int const flags = ::fcntl(descriptor, F_GETFD);
        if (flags < 0 || ::fcntl(descriptor, F_SETFD, flags & ~FD_CLOEXEC) < 0)
            return lastError();
    }
    return {};
}

void closeAgainOnExec(std::vector<int> const &kept)
{
    for (int const descriptor : kept)
        ::fcntl(descriptor, F_SETFD, ::fcntl(descriptor, F_GETFD) | FD_CLOEXEC);
}

// The memory file's pages are given back as they are read, so that the state is never whole in
// memory twice.
std::string readAll(int descriptor)
{
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0)
        throw std::runtime_error("the handed-over state can not be read: " + lastError().message());
    std::string text(static_cast<std::size_t>(status.st_size), '\0');
    constexpr std::size_t piece = 1 << 20;
    std::size_t got = 0;
    while (got < text.size())
    {
        auto const n = ::pread(descriptor, text.data() + got, std::min(piece, text.size() - got),
                               static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw std::runtime_error("the handed-over state can not be read: " +
                                     (n == 0 ? std::string("short file") : lastError().message()));
        // A file that cannot punch holes keeps its pages until it is closed.
        ::fallocate(descriptor, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, static_cast<off_t>(got),
                    n);
        got += static_cast<std::size_t>(n);
    }
    return text;
}

// The state read where it lies in the memory file: mapped privately, one byte longer for the
// terminator the reader needs, so that its pages are neither copied nor cleared first; the
// document is parsed in place (only its own pages are copied on the way) and every text copied
// once, into the state; with `mapTexts`, the large texts of tasks and API queues are mapped
// instead and stay in the file. Where the file cannot be mapped, it is read.
ReloadState readState(InheritedStateFile &file, bool mapTexts)
{
    int const descriptor = file.descriptor();
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0)
        throw std::runtime_error("the handed-over state can not be read: " + lastError().message());
    auto const size = static_cast<std::size_t>(status.st_size);
    if (size == 0 || ::ftruncate(descriptor, status.st_size + 1) != 0)
        return decodeReloadState(readAll(descriptor));
    void *const mapped =
        ::mmap(nullptr, size + 1, PROT_READ | PROT_WRITE, MAP_PRIVATE, descriptor, 0);
    if (mapped == MAP_FAILED)
        return decodeReloadState(readAll(descriptor));
    std::unique_ptr<void, std::function<void(void *)>> const unmapping(mapped, [size](void *at)
                                                                       { ::munmap(at, size + 1); });
    return decodeReloadState(static_cast<char *>(mapped), size, mapTexts ? &file : nullptr);
}

// The family of a TCP socket, or 0 when the descriptor is not one.
int tcpFamily(int descriptor)
{
    int type = 0;
    socklen_t length = sizeof type;
    if (::getsockopt(descriptor, SOL_SOCKET, SO_TYPE, &type, &length) != 0 || type != SOCK_STREAM)
        return 0;
    sockaddr_storage address{};
    socklen_t addressLength = sizeof address;
    if (::getsockname(descriptor, reinterpret_cast<sockaddr *>(&address), &addressLength) != 0)
        return 0;
    return address.ss_family == AF_INET || address.ss_family == AF_INET6 ? address.ss_family : 0;
}

bool isListening(int descriptor)
{
    int listening = 0;
    socklen_t length = sizeof listening;
    return ::getsockopt(descriptor, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 &&
           listening != 0;
}

} // namespace

RecoveredState recoverInheritedListeners()
{
    RecoveredState recovered;
    std::vector<int> descriptors;
    for (auto const &entry : std::filesystem::directory_iterator("/proc/self/fd"))
    {
        int descriptor = -1;
        auto const name = entry.path().filename().string();
        std::from_chars(name.data(), name.data() + name.size(), descriptor);
        if (descriptor > STDERR_FILENO)
            descriptors.push_back(descriptor);
    }
    for (int const descriptor : descriptors)
    {
        int const family = tcpFamily(descriptor);
        if (family == 0)
            continue;
        if (isListening(descriptor))
        {
            recovered.state.listeners.push_back({descriptor, family == AF_INET6});
            continue;
        }
        ::close(descriptor);
        ++recovered.closedConnections;
    }
    return recovered;
}

std::string startedProgramPath(char const *argv0)
{
    std::string const name = argv0 != nullptr ? argv0 : "";
    if (name.find('/') == std::string::npos)
        return searchPath(name);
    std::error_code ignored;
    auto absolute = std::filesystem::absolute(name, ignored);
    return ignored ? name : absolute.lexically_normal().string();
}

std::error_code replaceProgram(std::string const &path, char *const argv[], int memory,
                               std::vector<int> const &kept)
{
    closeEverythingOnExec();
    auto handed = kept;
    handed.push_back(memory);
    std::error_code failure;
    if ((failure = keepAcrossExec(handed)))
        ;
    else if (::setenv(reloadStateVariable, std::to_string(memory).c_str(), 1) != 0)
        failure = lastError();
    else
    {
        // The exec drops the handler of SIGHUP: one that came before the new program blocks it
        // would end the process. Blocked across the exec, it waits for the new program's reload.
        sigset_t hangUp;
        sigset_t previous;
        sigemptyset(&hangUp);
        sigaddset(&hangUp, SIGHUP);
        ::pthread_sigmask(SIG_BLOCK, &hangUp, &previous);
        ::execve(path.c_str(), argv, environ);
        failure = lastError();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        ::unsetenv(reloadStateVariable);
    }
    closeAgainOnExec(handed);
    return failure;
}

void checkInheritedDescriptors(ReloadState const &state)
{
    std::unordered_set<int> seen;
    for (int const descriptor : carriedDescriptors(state))
    {
        struct stat status
        {
        };
        if (descriptor <= STDERR_FILENO || ::fstat(descriptor, &status) != 0 ||
            !S_ISSOCK(status.st_mode))
            throw std::runtime_error("damaged state: descriptor " + std::to_string(descriptor) +
                                     " is not an inherited socket");
        if (!seen.insert(descriptor).second)
            throw std::runtime_error("damaged state: descriptor " + std::to_string(descriptor) +
                                     " is named twice");
    }
}

std::string descriptorShortfall(std::uint64_t open, std::uint64_t limit)
{
    auto const needed = open + ownDescriptorsOfANewProgram;
    if (needed <= limit)
        return {};
    return "the descriptor limit is " + std::to_string(limit) + ", and the new program needs " +
           std::to_string(needed) + ": the " + std::to_string(open) + " open now and " +
           std::to_string(ownDescriptorsOfANewProgram) + " of its own";
}

std::string descriptorShortfall()
{
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
        return {};
    std::uint64_t open = 0;
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end;
         it.increment(ec))
        ++open;
    // Not even the directory could be opened: every descriptor below the limit is taken.
    if (ec == std::errc::too_many_files_open)
        open = limit.rlim_cur;
    else if (ec)
        return {};
    return descriptorShortfall(open, limit.rlim_cur);
}

std::optional<ReloadState> takeInheritedState(std::shared_ptr<InheritedStateFile> *memory)
{
    char const *const variable = std::getenv(reloadStateVariable);
    if (variable == nullptr)
        return std::nullopt;
    std::string_view const text(variable);
    int descriptor = -1;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), descriptor);
    ::unsetenv(reloadStateVariable);
    if (error != std::errc{} || end != text.data() + text.size() || descriptor < 0)
        throw std::runtime_error("the handed-over state names no descriptor");
    // Closed however the reading ends, unless the caller takes it over with the state read; the
    // file goes with its last descriptor and mapping.
    auto file = std::make_shared<InheritedStateFile>(descriptor);
    auto state = readState(*file, memory != nullptr);
    if (memory != nullptr)
        *memory = std::move(file);
    return state;
}

void releaseStateFile(boost::asio::io_context &io, std::shared_ptr<InheritedStateFile> file)
{
    if (file->releaseSlice())
        boost::asio::post(io, [&io, file = std::move(file)]() mutable
                          { releaseStateFile(io, std::move(file)); });
}

} // namespace kelvarin::triggerTesting
