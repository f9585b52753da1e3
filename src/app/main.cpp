#include "app/Controller.hpp"
#include "app/ListeningSockets.hpp"
#include "app/Options.hpp"
#include "app/StopSignal.hpp"
#include "app/admin/Monitoring.hpp"
#include "app/admin/OperatorClient.hpp"
#include "app/reload/ProgramReload.hpp"
#include "app/reload/ReloadState.hpp"
#include "app/reload/Reloader.hpp"
#include "common/GatheredWhileRunning.hpp"
#include "common/ServiceLog.hpp"

#include <boost/asio/io_context.hpp>

#include <csignal>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
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
using kelvarin::triggerTesting::Monitoring;
using kelvarin::triggerTesting::ProgramReload;
using kelvarin::triggerTesting::Reloader;
using kelvarin::triggerTesting::ReloadState;
using kelvarin::triggerTesting::ServiceLog;

// The device services must resolve, as a start without systemd's sockets resolves them before
// it binds; no socket is opened. The API side's names are left alone: a start does not fail on
// them either, it retries.
void checkListenServices(kelvarin::triggerTesting::DeviceOptions const &device)
{
    boost::asio::io_context io;
    kelvarin::triggerTesting::resolveListenServices(io, device.listenServices);
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

// The reloader's steps on the running service; ProgramReload adds those on the program.
Reloader::Steps serviceSteps(int argc, char *argv[], Controller &controller, Monitoring &monitoring)
{
    Reloader::Steps steps;
    steps.readConfiguration = [argc, argv]
    {
        auto text = readConfigurationFile(argc, argv);
        Options checked;
        std::istringstream in(text);
        parseConfiguration(in, checked);
        return text;
    };
    steps.hold = [&controller] { controller.hold(); };
    steps.readyForHandOver = [&controller] { return controller.readyForHandOver(); };
    steps.carriedBytes = [&controller] { return controller.carriedBytes(); };
    steps.handOver = [&controller, &monitoring](std::vector<int> &kept)
    {
        auto state = controller.handOver(kept);
        // Taken after the hand-over, which counts the connections it ends.
        state.counters = monitoring.state().totals.named();
        return state;
    };
    steps.resume = [&controller](ReloadState &handedBack) { controller.resume(handedBack); };
    steps.notify = [&monitoring](bool begins) { monitoring.reloading(begins); };
    return steps;
}

} // namespace

int main(int argc, char *argv[])
{
    Reloader::blockHangUp();
    ServiceLog log;
    // The one general error handler: start-up failures and anything that escapes the event
    // loop end the process here, with a failure status a supervisor can act on.
    try
    {
        ProgramReload reload(argc, argv);
        Options options;
        auto const action = readOptions(argc, argv, options, reload.inherited());
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
        GatheredWhileRunning gathered(log.buffer(), io);
        Controller controller(io, options.api, options.device, reload.inherited());
        // The sessions hold what was handed over now.
        reload.release(io);
        StopSignalSet signals(io.get_executor(), SIGINT, SIGTERM);
        setStopSignalHandler(signals);
        // Ready only once a stop request would be heeded.
        Monitoring monitoring(io, options.metrics, controller,
                              [&log] { return log.buffer().droppedLines(); });
        Reloader reloader(
            io, reload.steps(io, log.buffer(), serviceSteps(argc, argv, controller, monitoring)));
        reloader.start();
        io.run();
    }
    catch (std::exception const &e)
    {
        return log.endWithFailure(e);
    }
    return 0;
}
