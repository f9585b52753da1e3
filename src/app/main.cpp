#include "app/Controller.hpp"
#include "app/ListeningSockets.hpp"
#include "app/Options.hpp"
#include "app/StopSignal.hpp"
#include "app/admin/Monitoring.hpp"
#include "app/admin/OperatorClient.hpp"
#include "app/reload/NewProgramCheck.hpp"
#include "app/reload/ProgramReplacement.hpp"
#include "app/reload/ReloadState.hpp"
#include "app/reload/Reloader.hpp"
#include "common/GatheredWhileRunning.hpp"
#include "common/LogBuffer.hpp"
#include "common/LogStream.hpp"

#include <boost/asio/io_context.hpp>

#include <cerrno>
#include <csignal>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <pthread.h>
#include <sstream>
#include <string>
#include <system_error>
#include <unistd.h>
#include <vector>

// jemalloc's settings, read when the allocator starts (without jemalloc nobody reads them): freed
// memory goes back to the system within about a second, by a thread of the allocator's own
// rather than on the event loop.
extern "C"
{
    char const *malloc_conf = "background_thread:true,dirty_decay_ms:1000,muzzy_decay_ms:0";
}

namespace
{

using kelvarin::triggerTesting::Controller;
using kelvarin::triggerTesting::GatheredWhileRunning;
using kelvarin::triggerTesting::LogBuffer;
using kelvarin::triggerTesting::LogStream;
using kelvarin::triggerTesting::Monitoring;
using kelvarin::triggerTesting::NewProgramCheck;
using kelvarin::triggerTesting::recoverInheritedListeners;
using kelvarin::triggerTesting::releaseStateFile;
using kelvarin::triggerTesting::ReloadState;
using kelvarin::triggerTesting::replaceProgram;
using kelvarin::triggerTesting::startedProgramPath;
using kelvarin::triggerTesting::takeInheritedState;

// The device services must resolve, as a start without systemd's sockets resolves them before
// it binds; no socket is opened. The API side's names are left alone: a start does not fail on
// them either, it retries.
void checkListenServices(kelvarin::triggerTesting::DeviceOptions const &device)
{
    boost::asio::io_context io;
    kelvarin::triggerTesting::resolveListenServices(io, device.listenServices);
}

// SIGHUP waits, blocked, until the reloader serves it: before that it would end the process,
// and across the exec of a reload the mask is kept, so that no SIGHUP is lost in between. Done
// before any thread exists, so that every thread inherits it.
void blockHangUp()
{
    sigset_t hangUp;
    sigemptyset(&hangUp);
    sigaddset(&hangUp, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &hangUp, nullptr);
}

// What a previous program handed over, when this one was started by a reload. A state that
// cannot be read is given up: the connections it named are closed (their devices connect again)
// and the listening sockets kept, so that the controller starts afresh where it listened.
std::optional<ReloadState> inheritedState(int &memory)
{
    try
    {
        auto state = takeInheritedState(&memory);
        if (state)
            checkInheritedDescriptors(*state);
        return state;
    }
    catch (std::exception const &e)
    {
        auto state = recoverInheritedListeners();
        std::clog << "Reload: the handed-over state is unreadable (" << e.what()
                  << "): " << state.closedConnections << " connections closed, starting afresh"
                  << std::endl;
        // Without a listening socket to go on with, the start is a first one: the controller
        // listens where its configuration says, instead of nowhere.
        if (state.state.listeners.empty())
            return std::nullopt;
        return std::move(state.state);
    }
}

// The configuration of a program started by a reload: the file's, or, when the file is refused
// now, the one the previous program ran on.
Action readOptions(int argc, char *argv[], Options &options, ReloadState const *inherited)
{
    if (inherited == nullptr)
        return parseOptions(argc, argv, options, std::cerr, std::cout);
    try
    {
        Options fromFile;
        parseOptions(argc, argv, fromFile, std::cerr, std::cout);
        options = fromFile;
    }
    catch (std::exception const &e)
    {
        // A state that could not be read carries no configuration to go on with: the start is
        // a first one, and ends as a first one does on a refused file.
        if (inherited->configuration.empty())
            throw;
        std::clog << "Reload refused: " << e.what() << std::endl;
        std::istringstream previous(inherited->configuration);
        parseConfiguration(previous, options);
    }
    return Action::run;
}

// The reloader's steps on the running controller.
kelvarin::triggerTesting::Reloader::Steps reloadSteps(boost::asio::io_context &io, int argc,
                                                      char *argv[], std::string const &programPath,
                                                      Controller &controller,
                                                      Monitoring &monitoring, LogBuffer &logBuffer)
{
    return {[argc, argv]
            {
                auto text = readConfigurationFile(argc, argv);
                Options checked;
                std::istringstream in(text);
                parseConfiguration(in, checked);
                return text;
            },
            [programPath]
            {
                return ::access(programPath.c_str(), X_OK) == 0
                           ? std::error_code()
                           : std::error_code(errno, std::system_category());
            },
            [&io, argc, argv, programPath](auto done)
            {
                // The new program is asked with the arguments it will be executed with.
                std::make_shared<NewProgramCheck>(io, programPath,
                                                  std::vector<std::string>(argv + 1, argv + argc))
                    ->start(std::move(done));
            },
            [&controller] { controller.hold(); },
            [&controller] { return controller.readyForHandOver(); },
            [&controller] { return controller.carriedBytes(); },
            [&controller, &monitoring](std::vector<int> &kept)
            {
                auto state = controller.handOver(kept);
                // Taken after the hand-over, which counts the connections it ends.
                state.counters = monitoring.state().totals.named();
                return state;
            },
            [&controller](ReloadState &handedBack) { controller.resume(handedBack); },
            [argv, programPath, &logBuffer](int stateFile, std::vector<int> const &kept)
            {
                // The lines gathered so far go out before the program is replaced.
                logBuffer.flush();
                return replaceProgram(programPath, argv, stateFile, kept);
            },
            [&monitoring](bool begins) { monitoring.reloading(begins); }};
}

} // namespace

int main(int argc, char *argv[])
{
    blockHangUp();
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
        auto const programPath = startedProgramPath(argv[0]);
        int stateMemory = -1; // the memory file the state was read from
        auto inherited = inheritedState(stateMemory);
        Options options;
        auto const action = readOptions(argc, argv, options, inherited ? &*inherited : nullptr);
        if (action == Action::done)
            return 0;
        if (action == Action::showDevice || action == Action::showStatus)
        {
            kelvarin::triggerTesting::OperatorClient client(options.metrics, std::cout, std::cerr);
            return action == Action::showDevice ? client.showDevice(options.shownUnit)
                                                : client.showStatus();
        }
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
        Controller controller(io, options.api, options.device, inherited ? &*inherited : nullptr);
        // The sessions hold what was handed over now.
        inherited.reset();
        if (stateMemory >= 0)
            releaseStateFile(io, stateMemory);
        StopSignalSet signals(io.get_executor(), SIGINT, SIGTERM);
        setStopSignalHandler(signals);
        // Ready only once a stop request would be heeded.
        Monitoring monitoring(io, options.metrics, controller,
                              [&logBuffer] { return logBuffer.droppedLines(); });
        kelvarin::triggerTesting::Reloader reloader(
            io, reloadSteps(io, argc, argv, programPath, controller, monitoring, logBuffer));
        reloader.start();
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
