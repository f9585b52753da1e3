#include "bench/ChildProcess.hpp"

#include <boost/asio/buffer.hpp>
#include <boost/asio/read_until.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/system/system_error.hpp>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <istream>
#include <stdexcept>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace kelvarin::triggerTesting::bench
{

namespace net = boost::asio;

namespace
{

[[noreturn]] void throwErrno(std::string const &what)
{
    throw boost::system::system_error(errno, boost::system::system_category(), what);
}

} // namespace

// Copies what arrives on the read end of the child's standard error into the log file, on a
// thread of its own: a write to the file that waits for the disk must not hold up the event
// loop of the benchmark's API servers, which time the round trips. It ends when the child's
// end of the pipe is closed, that is when the child has ended.
struct ChildProcess::ErrorDrain
{
    ErrorDrain(int readEnd, int file) : readEnd(readEnd), file(file), thread([this] { run(); }) {}
    ~ErrorDrain()
    {
        thread.join();
        ::close(readEnd);
    }

    void run()
    {
        std::array<char, 64 * 1024> chunk;
        for (;;)
        {
            auto const size = ::read(readEnd, chunk.data(), chunk.size());
            if (size < 0 && errno == EINTR)
                continue;
            if (size <= 0)
                return;
            append(chunk.data(), static_cast<std::size_t>(size));
        }
    }

    void append(char const *data, std::size_t size)
    {
        for (std::size_t done = 0; done < size;)
        {
            auto const written = ::write(file, data + done, size - done);
            if (written <= 0)
                return;
            done += static_cast<std::size_t>(written);
        }
    }

    int readEnd;
    int file;
    std::thread thread;
};

ChildProcess::ChildProcess(net::io_context &io, std::vector<std::string> const &argv,
                           std::string const &stderrPath, cpu_set_t const *cpus)
    : output(io)
{
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0)
        throwErrno("pipe2");
    logDescriptor = open(stderrPath.empty() ? "/dev/null" : stderrPath.c_str(),
                         O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (logDescriptor < 0)
        throwErrno("open " + stderrPath);
    int errorEnds[2];
    if (pipe2(errorEnds, O_CLOEXEC) != 0)
        throwErrno("pipe2");
    // Room for a burst of lines while the benchmark is busy elsewhere.
    fcntl(errorEnds[1], F_SETPIPE_SZ, 1 << 20);
    std::vector<char *> args;
    for (auto const &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    child = fork();
    if (child < 0)
        throwErrno("fork");
    if (child == 0)
    {
        int const devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(pipeEnds[1], 1);
        dup2(errorEnds[1], 2);
        // Nothing of the benchmark's sockets may stay open in the child.
        close_range(3, ~0U, 0);
        // A benchmark that is killed takes its controller and generators with it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == 1)
            _exit(127);
        if (cpus != nullptr)
            sched_setaffinity(0, sizeof *cpus, cpus);
        execv(args[0], args.data());
        _exit(127);
    }
    close(pipeEnds[1]);
    output.assign(pipeEnds[0]);
    close(errorEnds[1]);
    errors = std::make_unique<ErrorDrain>(errorEnds[0], logDescriptor);
}

ChildProcess::~ChildProcess()
{
    if (child > 0 && !exitStatus)
    {
        kill(child, SIGKILL);
        int status = 0;
        waitpid(child, &status, 0);
    }
    // The child has ended: the drain reads to the end of what it wrote.
    errors.reset();
    if (logDescriptor >= 0)
        close(logDescriptor);
}

bool ChildProcess::running()
{
    if (exitStatus)
        return false;
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child)
    {
        exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return false;
    }
    return true;
}

std::optional<std::string> ChildProcess::readLine(std::chrono::steady_clock::duration limit,
                                                  net::yield_context yield)
{
    net::steady_timer deadline(output.get_executor());
    deadline.expires_after(limit);
    bool timedOut = false;
    deadline.async_wait(
        [this, &timedOut](boost::system::error_code const &ec)
        {
            if (ec)
                return;
            timedOut = true;
            output.cancel();
        });
    boost::system::error_code ec;
    net::async_read_until(output, pending, '\n', yield[ec]);
    deadline.cancel();
    if (ec || timedOut)
        return std::nullopt;
    std::istream in(&pending);
    std::string line;
    std::getline(in, line);
    return line;
}

void ChildProcess::signal(int number) const
{
    if (child > 0 && !exitStatus)
        kill(child, number);
}

int ChildProcess::stop(net::yield_context yield, std::chrono::steady_clock::duration grace)
{
    if (exitStatus)
        return *exitStatus;
    kill(child, SIGTERM);
    net::steady_timer poll(output.get_executor());
    auto const deadline = std::chrono::steady_clock::now() + grace;
    bool killed = false;
    while (running())
    {
        if (!killed && std::chrono::steady_clock::now() > deadline)
        {
            kill(child, SIGKILL);
            killed = true;
        }
        poll.expires_after(std::chrono::milliseconds(10));
        boost::system::error_code ignored;
        poll.async_wait(yield[ignored]);
    }
    return *exitStatus;
}

void ChildProcess::truncateLog() const
{
    if (ftruncate(logDescriptor, 0) != 0)
        throwErrno("ftruncate");
}

} // namespace kelvarin::triggerTesting::bench
