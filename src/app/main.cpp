#include "app/Controller.hpp"
#include "app/ListeningSockets.hpp"
#include "app/Options.hpp"
#include "app/StopSignal.hpp"
#include "app/admin/Monitoring.hpp"
#include "common/LogBuffer.hpp"

#include <boost/asio/io_context.hpp>

#include <csignal>
#include <exception>
#include <iostream>
#include <unistd.h>

namespace
{

using kelvarin::triggerTesting::LogBuffer;

LogBuffer *gatheredLog = nullptr;

// An abort (a broken invariant, an exception nobody catches, the watchdog's signal) still hands
// over the lines gathered before it, as far as standard error takes them at once: the abort
// must happen even when nobody reads.
extern "C" void writeLogAndAbort(int)
{
    if (gatheredLog != nullptr)
        gatheredLog->writeGatheredNow();
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

// The log stream, and the error stream of the help text and the "Exception: " line, write
// through the buffer for as long as this lives: neither waits long for a reader.
class LogStream
{
public:
    explicit LogStream(LogBuffer &buffer)
        : previous(std::clog.rdbuf(&buffer)), previousError(std::cerr.rdbuf(&buffer))
    {
        gatheredLog = &buffer;
        std::signal(SIGABRT, writeLogAndAbort);
    }
    ~LogStream()
    {
        std::signal(SIGABRT, SIG_DFL);
        gatheredLog = nullptr;
        std::cerr.rdbuf(previousError);
        std::clog.rdbuf(previous);
    }
    LogStream(LogStream const &) = delete;
    LogStream &operator=(LogStream const &) = delete;

private:
    std::streambuf *previous;
    std::streambuf *previousError;
};

// Lines are gathered per turn of the event loop while it exists; whatever is left is written
// before it goes.
class GatheredWhileRunning
{
public:
    GatheredWhileRunning(LogBuffer &buffer, boost::asio::io_context &io) : buffer(buffer)
    {
        buffer.attach(io);
    }
    ~GatheredWhileRunning() { buffer.detach(); }
    GatheredWhileRunning(GatheredWhileRunning const &) = delete;
    GatheredWhileRunning &operator=(GatheredWhileRunning const &) = delete;

private:
    LogBuffer &buffer;
};

// The device services must resolve, as a start without systemd's sockets resolves them before
// it binds; no socket is opened. The API side's names are left alone: a start does not fail on
// them either, it retries.
void checkListenServices(kelvarin::triggerTesting::DeviceOptions const &device)
{
    boost::asio::io_context io;
    kelvarin::triggerTesting::resolveListenServices(io, device.listenServices);
}

} // namespace

int main(int argc, char *argv[])
{
    // The service uses no C stdio output, and its log stream writes through a buffer of its own.
    std::ios_base::sync_with_stdio(false);
    // Without a reader on standard error, log lines are lost; the service goes on.
    std::signal(SIGPIPE, SIG_IGN);
    LogBuffer logBuffer(STDERR_FILENO);
    LogStream logStream(logBuffer);
    // The one general error handler: start-up failures and anything that escapes the event
    // loop end the process here, with a failure status a supervisor can act on.
    try
    {
        Options options;
        auto const action = parseOptions(argc, argv, options, std::cerr, std::cout);
        if (action == Action::done)
            return 0;
        if (action == Action::checkConfiguration)
        {
            checkListenServices(options.device);
            return 0;
        }
        // One thread runs the loop and owns every socket and timer; only the resolver's internal
        // thread hands completions in, through the scheduler, which keeps its lock. So the
        // reactor need not lock each descriptor for every operation.
        boost::asio::io_context io(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO);
        GatheredWhileRunning gathered(logBuffer, io);
        kelvarin::triggerTesting::Controller controller(io, options.api, options.device);
        StopSignalSet signals(io.get_executor(), SIGINT, SIGTERM);
        setStopSignalHandler(signals);
        // Ready only once a stop request would be heeded.
        kelvarin::triggerTesting::Monitoring monitoring(
            io, options.metrics, controller, [&logBuffer] { return logBuffer.droppedLines(); });
        io.run();
    }
    catch (std::exception const &e)
    {
        // Every line logged before the failure goes out before its reason.
        logBuffer.flush();
        std::cerr << "Exception: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
