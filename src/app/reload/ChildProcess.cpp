#include "app/reload/ChildProcess.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/beast/core/bind_handler.hpp>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace kelvarin::triggerTesting
{

namespace
{

std::error_code lastError()
{
    return {errno, std::system_category()};
}

// How the child starts: its own process group, so that what it starts can be killed with it,
// and no signal blocked (the controller blocks SIGHUP) or ignored (SIGPIPE).
void initSpawnAttributes(posix_spawnattr_t &attributes)
{
    ::posix_spawnattr_init(&attributes);
    sigset_t none;
    sigset_t all;
    ::sigemptyset(&none);
    ::sigfillset(&all);
    ::posix_spawnattr_setsigmask(&attributes, &none);
    ::posix_spawnattr_setsigdefault(&attributes, &all);
    ::posix_spawnattr_setpgroup(&attributes, 0);
    ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK |
                                                POSIX_SPAWN_SETSIGDEF);
}

// Standard output and error go to the pipe, input comes from /dev/null, and nothing else is
// inherited: the libraries open their sockets without close-on-exec, and the controller's
// connections and listeners must not stay open in the child.
void initSpawnActions(posix_spawn_file_actions_t &actions, int outputEnd)
{
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, outputEnd, STDOUT_FILENO);
    ::posix_spawn_file_actions_adddup2(&actions, outputEnd, STDERR_FILENO);
    ::posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
}

} // namespace

ChildProcess::ChildProcess(boost::asio::io_context &io, std::size_t outputKept)
    : outputKept(outputKept), output(io), process(io), deadlineTimer(io)
{
}

ChildProcess::~ChildProcess()
{
    if (child < 0)
        return;
    killGroup();
    while (::waitpid(child, nullptr, 0) < 0 && errno == EINTR)
        ;
}

std::error_code ChildProcess::start(std::string const &path,
                                    std::vector<std::string> const &arguments,
                                    std::chrono::steady_clock::time_point deadline, Done done)
{
    int pipeEnds[2];
    if (::pipe2(pipeEnds, O_CLOEXEC) != 0)
        return lastError();
    auto const failure = spawn(path, arguments, pipeEnds[1]);
    ::close(pipeEnds[1]);
    if (failure)
    {
        ::close(pipeEnds[0]);
        return failure;
    }
    // From here on a failure leaves the child to the destructor, which kills and reaps it.
    if (auto const ec = watch(pipeEnds[0]))
        return ec;
    this->done = std::move(done);
    readOutput();
    process.async_wait(
        boost::asio::posix::descriptor_base::wait_read,
        boost::beast::bind_front_handler(&ChildProcess::onEnded, shared_from_this()));
    deadlineTimer.expires_at(deadline);
    deadlineTimer.async_wait(
        boost::beast::bind_front_handler(&ChildProcess::onDeadline, shared_from_this()));
    return {};
}

std::error_code ChildProcess::watch(int outputDescriptor)
{
    boost::system::error_code ec;
    output.assign(outputDescriptor, ec);
    if (ec)
    {
        ::close(outputDescriptor);
        return ec;
    }
    // Through syscall: glibc 2.36 declares pidfd_open without C linkage for C++.
    auto const processDescriptor = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    if (processDescriptor < 0)
        return lastError();
    process.assign(processDescriptor, ec);
    if (ec)
        ::close(processDescriptor);
    return ec;
}

std::error_code ChildProcess::spawn(std::string const &path,
                                    std::vector<std::string> const &arguments, int outputEnd)
{
    std::vector<char *> argv;
    for (auto const &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    initSpawnActions(actions, outputEnd);
    posix_spawnattr_t attributes;
    initSpawnAttributes(attributes);
    int const error =
        ::posix_spawn(&child, path.c_str(), &actions, &attributes, argv.data(), environ);
    ::posix_spawnattr_destroy(&attributes);
    ::posix_spawn_file_actions_destroy(&actions);
    if (error == 0)
        return {};
    child = -1;
    return {error, std::system_category()};
}

void ChildProcess::readOutput()
{
    output.async_read_some(
        boost::asio::buffer(chunk),
        boost::beast::bind_front_handler(&ChildProcess::onOutput, shared_from_this()));
}

void ChildProcess::onOutput(boost::system::error_code const &ec, std::size_t size)
{
    outcome.outputSize += size;
    auto const room = outputKept - std::min(outputKept, outcome.output.size());
    outcome.output.append(chunk.data(), std::min(size, room));
    if (!ec)
    {
        readOutput();
        return;
    }
    // The end of the output, or the pipe closed at the deadline.
    boost::system::error_code ignored;
    output.close(ignored);
    outputClosed = true;
    finishWhenOver();
}

void ChildProcess::onEnded(boost::system::error_code const &ec)
{
    // Only a failure of the process descriptor itself gets here without the child's end: it is
    // made to end now.
    if (ec)
        killGroup();
    ended = true;
    finishWhenOver();
}

void ChildProcess::onDeadline(boost::system::error_code const &ec)
{
    if (ec)
        return;
    if (!ended)
    {
        killed = true;
        killGroup();
    }
    // Whatever still holds the pipe (a descendant of the child) is not waited for.
    boost::system::error_code ignored;
    output.close(ignored);
}

void ChildProcess::killGroup()
{
    // Once reaped, its id may name another process: -1 would even name every one.
    if (child <= 0)
        return;
    // Not reaped yet, neither its id nor its group's can have been reused. It may have left
    // its group.
    ::kill(-child, SIGKILL);
    ::kill(child, SIGKILL);
}

void ChildProcess::finishWhenOver()
{
    if (!ended || !outputClosed || child < 0)
        return;
    // Nothing the child started outlives the run.
    killGroup();
    while (::waitpid(child, &outcome.status, 0) < 0 && errno == EINTR)
        ;
    child = -1;
    outcome.answered = !killed;
    deadlineTimer.cancel();
    boost::system::error_code ignored;
    process.close(ignored);
    auto const finished = std::move(done);
    finished(outcome);
}

} // namespace kelvarin::triggerTesting
