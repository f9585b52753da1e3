#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/steady_timer.hpp>

#include <array>
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <system_error>
#include <vector>

namespace kelvarin::triggerTesting
{

// One run of a program as a child process, watched from the event loop, which never waits for
// it. Three waits meet here, each holding the run:
// - a read of the child's standard output and error (one pipe), which keeps their first bytes
//   and reads the rest only to count it, so that a child that prints much is not held up;
// - a wait for the child's end on a process descriptor, which leaves it unreaped meanwhile;
// - a timer at the deadline, which kills the child with SIGKILL, and closes the pipe.
// The outcome comes once the child has ended and the pipe is closed: what the child leaves
// behind in its process group (a command its shell started, say) is killed then, and the child
// reaped. The child inherits no descriptor of the controller but the pipe, and starts with no
// signal blocked or ignored.
class ChildProcess : public std::enable_shared_from_this<ChildProcess>
{
public:
    struct Outcome
    {
        // False when the child was killed at the deadline.
        bool answered = false;
        // How it ended, as waitpid tells it.
        int status = 0;
        // The first bytes it printed, and how many it printed in all.
        std::string output;
        std::size_t outputSize = 0;
    };
    using Done = std::function<void(Outcome const &)>;

    explicit ChildProcess(boost::asio::io_context &io, std::size_t outputKept = 1024);
    // A child still running is killed and reaped.
    ~ChildProcess();
    ChildProcess(ChildProcess const &) = delete;
    ChildProcess &operator=(ChildProcess const &) = delete;

    // Runs the program at path with the arguments (the first is its name) and standard input
    // from /dev/null; done gets the outcome on the loop. When the child cannot be started, the
    // reason is returned and done is never called.
    std::error_code start(std::string const &path, std::vector<std::string> const &arguments,
                          std::chrono::steady_clock::time_point deadline, Done done);

private:
    std::error_code spawn(std::string const &path, std::vector<std::string> const &arguments,
                          int outputEnd);
    // The pipe's end and the child's process descriptor, on the loop.
    std::error_code watch(int outputDescriptor);
    void readOutput();
    void onOutput(boost::system::error_code const &ec, std::size_t size);
    void onEnded(boost::system::error_code const &ec);
    void onDeadline(boost::system::error_code const &ec);
    void killGroup();
    void finishWhenOver();

    std::size_t outputKept;
    boost::asio::posix::stream_descriptor output;
    boost::asio::posix::stream_descriptor process;
    boost::asio::steady_timer deadlineTimer;
    std::array<char, 4096> chunk{};
    Done done;
    Outcome outcome;
    // The child, until it is reaped; it leads its own process group.
    pid_t child = -1;
    bool ended = false;
    bool outputClosed = false;
    bool killed = false;
};

} // namespace kelvarin::triggerTesting
