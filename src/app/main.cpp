#include "app/Controller.hpp"
#include "app/Monitoring.hpp"
#include "app/Options.hpp"
#include "app/StopSignal.hpp"

#include <boost/asio/io_context.hpp>

#include <csignal>
#include <exception>
#include <iostream>

int main(int argc, char* argv[])
{
    // Synchronised with C stdio, every piece a log line is assembled from is written to
    // standard error on its own; unsynchronised, the stream buffers the pieces and the
    // std::endl that ends each line writes it in one go. The service uses no C stdio output.
    std::ios_base::sync_with_stdio(false);
    // Without a reader on standard error, log lines are lost; the service goes on.
    std::signal(SIGPIPE, SIG_IGN);
    // The one general error handler: start-up failures and anything that escapes the event
    // loop end the process here, with a failure status a supervisor can act on.
    try
    {
        Options options;
        if (!parseOptions(argc, argv, options, std::cerr))
            return 0;
        boost::asio::io_context io;
        kelvarin::triggerTesting::Controller controller(io, options.api, options.device);
        kelvarin::triggerTesting::Monitoring monitoring(io, options.metrics, controller);
        StopSignalSet signals(io.get_executor(), SIGINT, SIGTERM);
        setStopSignalHandler(signals);
        io.run();
    }
    catch (std::exception const& e)
    {
        std::cerr << "Exception: " << e.what() << std::endl;
        return 1;
    }
    return 0;
}
