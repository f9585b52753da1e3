// tt_simulator: simulated API servers, a validator or a fleet of devices around a controller,
// one role per process. Every event is one line on standard output; the summary follows when
// the run ends (SIGINT, SIGTERM or --duration).
#include "sim/RoleSummaries.hpp"
#include "sim/SimApiServer.hpp"
#include "sim/SimCommandLine.hpp"
#include "sim/SimFleet.hpp"
#include "sim/SimValidator.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/steady_timer.hpp>

#include <chrono>
#include <csignal>
#include <exception>
#include <functional>
#include <iostream>
#include <memory>
#include <optional>
#include <vector>

using namespace kelvarin::triggerTesting::sim;

namespace
{

// Devices get this long to finish their close handshakes once the run is over.
constexpr std::chrono::seconds closingTime{2};
constexpr std::chrono::milliseconds watchInterval{50};

Summary summarize(std::vector<std::unique_ptr<SimApiServer>> const &apis,
                  std::optional<SimValidator> const &validator,
                  std::optional<SimFleet> const &fleet)
{
    if (validator)
        return summarizeValidator(validator->stats());
    if (fleet)
        return summarizeDevices(fleet->stats());
    std::vector<SimApiServer::Stats> stats;
    for (auto const &api : apis)
        stats.push_back(api->stats());
    return summarizeApiServers(stats);
}

int run(SimCommandLine const &line)
{
    boost::asio::io_context io;
    SimApiServer::Report report = [&line](std::string const &text)
    {
        if (!line.quiet)
            std::cout << text << std::endl;
    };

    EventRecordPtr record;
    if (!line.record.empty())
        record = std::make_shared<EventRecord>(line.record);
    std::vector<std::unique_ptr<SimApiServer>> apis;
    std::optional<SimValidator> validator;
    std::optional<SimFleet> fleet;
    // Said and recorded once a server listens: with port 0 the kernel chose the port.
    auto listening = [&](std::string const &role, boost::asio::ip::tcp::endpoint const &endpoint)
    {
        auto const address = endpoint.address().to_string() + ":" + std::to_string(endpoint.port());
        report(role + " listening on " + address);
        if (record)
            record->write(EventRecord::Event("listening").text("server", address));
    };
    switch (line.role)
    {
    case SimCommandLine::Role::api:
        for (auto const &endpoint : line.listen)
        {
            auto settings = line.api;
            settings.record = record;
            apis.push_back(std::make_unique<SimApiServer>(io, endpoint, settings, report));
            apis.back()->start();
            listening("api", apis.back()->localEndpoint());
        }
        break;
    case SimCommandLine::Role::validator:
        validator.emplace(io, line.listen.front(), line.policy, report, record);
        listening("validator", validator->localEndpoint());
        break;
    case SimCommandLine::Role::devices:
    {
        auto settings = line.fleet;
        settings.record = record;
        fleet.emplace(io, settings, report);
        fleet->start();
        break;
    }
    }

    boost::asio::signal_set signals(io, SIGINT, SIGTERM);
    boost::asio::steady_timer durationTimer(io);
    bool finishing = false;
    auto deadline = std::chrono::steady_clock::time_point::max();
    auto finish = [&]
    {
        if (finishing)
            return;
        finishing = true;
        deadline = std::chrono::steady_clock::now() + closingTime;
        signals.cancel();
        durationTimer.cancel();
        for (auto &api : apis)
            api->stop();
        if (validator)
            validator->stop();
        if (fleet)
            fleet->stop();
    };
    signals.async_wait(
        [&](boost::system::error_code const &ec, int)
        {
            if (!ec)
                finish();
        });
    if (line.duration.count() > 0)
    {
        durationTimer.expires_after(line.duration);
        durationTimer.async_wait(
            [&](boost::system::error_code const &ec)
            {
                if (!ec)
                    finish();
            });
    }
    // A fleet whose devices have all ended is done; once finishing, the loop ends when the
    // devices have closed their connections or the closing time is over.
    boost::asio::steady_timer watchTimer(io);
    std::function<void()> watch = [&]
    {
        bool const devicesDone = fleet && fleet->finished();
        if (devicesDone)
            finish();
        if (finishing && (!fleet || devicesDone || std::chrono::steady_clock::now() > deadline))
            return io.stop();
        watchTimer.expires_after(watchInterval);
        watchTimer.async_wait(
            [&](boost::system::error_code const &ec)
            {
                if (!ec)
                    watch();
            });
    };
    watch();
    io.run();

    auto const summary = summarize(apis, validator, fleet);
    std::cout << summary.text() << std::endl;
    if (line.json)
        std::cout << summary.json() << std::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    SimCommandLine line;
    try
    {
        line = SimCommandLine::parse(argc, argv);
    }
    catch (std::exception const &e)
    {
        std::cerr << "tt_simulator: " << e.what() << "\n\n" << SimCommandLine::usage();
        return 2;
    }
    if (line.help)
    {
        std::cout << line.helpText;
        return 0;
    }
    try
    {
        return run(line);
    }
    catch (std::exception const &e)
    {
        std::cerr << "tt_simulator: " << e.what() << std::endl;
        return 1;
    }
}
