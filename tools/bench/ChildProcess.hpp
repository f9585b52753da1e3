#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/asio/streambuf.hpp>

#include <chrono>
#include <memory>
#include <optional>
#include <sched.h>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// A program the benchmark runs beside itself. Its standard output comes back through a pipe,
// line by line; its standard error goes to a file (or is dropped). Like a journal, the
// benchmark reads the standard error from a pipe and writes it out itself, on a thread of its
// own, so that the disk's stalls are neither the child's nor the benchmark's event loop's. It
// inherits none of the benchmark's descriptors. It is ended by its pid, never by name.
class ChildProcess
{
public:
    // stderrPath empty: standard error goes to /dev/null. The file is opened for appending,
    // so the benchmark may cut it short between phases while the child writes on. With cpus,
    // the child runs on those processors only; otherwise on the benchmark's.
    ChildProcess(boost::asio::io_context &io, std::vector<std::string> const &argv,
                 std::string const &stderrPath, cpu_set_t const *cpus = nullptr);
    ~ChildProcess();
    ChildProcess(ChildProcess const &) = delete;
    ChildProcess &operator=(ChildProcess const &) = delete;

    pid_t pid() const { return child; }
    bool running();
    // The next line of standard output, or nothing at its end or when the deadline passes.
    std::optional<std::string> readLine(std::chrono::steady_clock::duration limit,
                                        boost::asio::yield_context yield);
    void signal(int number) const;
    // SIGTERM, then SIGKILL if it has not ended within the grace time; reaps it. Its status.
    int stop(boost::asio::yield_context yield,
             std::chrono::steady_clock::duration grace = std::chrono::seconds(5));
    // Empties the standard-error file (the child goes on appending to it).
    void truncateLog() const;

private:
    struct ErrorDrain;

    pid_t child = -1;
    int logDescriptor = -1;
    std::unique_ptr<ErrorDrain> errors;
    std::optional<int> exitStatus;
    boost::asio::posix::stream_descriptor output;
    boost::asio::streambuf pending;
};

} // namespace kelvarin::triggerTesting::bench
