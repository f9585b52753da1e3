// tt_bench: the controller's figures on this machine. Run without a role it is the benchmark:
// it starts the controller, device generators, a bare relay and the mosquitto broker with its
// MQTT clients as child processes, prints a table and writes the same figures as JSON. The
// roles "devices", "relay" and "mqtt-clients" are those child processes.
#include "bench/BareRelay.hpp"
#include "bench/BenchRun.hpp"
#include "bench/DeviceGenerator.hpp"
#include "bench/MqttClientFleet.hpp"
#include "common/Coroutine.hpp"
#include "sim/SimArguments.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/spawn.hpp>
#include <boost/program_options.hpp>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>

namespace net = boost::asio;
namespace po = boost::program_options;
using namespace kelvarin::triggerTesting::bench;
using kelvarin::triggerTesting::sim::parseEndpoint;

namespace
{

po::variables_map parse(int argc, char *argv[], po::options_description const &options)
{
    po::variables_map values;
    po::store(po::parse_command_line(argc, argv, options), values);
    po::notify(values);
    return values;
}

int runDevices(int argc, char *argv[])
{
    DeviceGenerator::Settings settings;
    std::string controller, source;
    std::size_t sources = 1;
    po::options_description options("devices");
    options.add_options()("controller", po::value(&controller)->required())(
        "first-unit", po::value(&settings.firstUnit))("count", po::value(&settings.count))(
        "source", po::value(&source)->default_value("127.0.0.1"))("sources", po::value(&sources))(
        "result-size", po::value(&settings.resultSize))("concurrency",
                                                        po::value(&settings.concurrency));
    parse(argc, argv, options);
    settings.controller = parseEndpoint(controller);
    auto const base = net::ip::make_address_v4(source).to_uint();
    for (std::size_t i = 0; i < sources; ++i)
        settings.sources.push_back(net::ip::address_v4(base + static_cast<std::uint32_t>(i)));

    net::io_context io;
    DeviceGenerator generator(io, settings, std::cout);
    net::signal_set stopSignals(io, SIGTERM, SIGINT);
    stopSignals.async_wait([&io](boost::system::error_code const &, int) { io.stop(); });
    net::signal_set heldSignal(io, SIGUSR1);
    std::function<void()> waitHeld = [&]
    {
        heldSignal.async_wait(
            [&](boost::system::error_code const &ec, int)
            {
                if (ec)
                    return;
                generator.reportHeld();
                waitHeld();
            });
    };
    waitHeld();
    generator.start();
    io.run();
    // The devices' sockets close with the process, all at once.
    std::cout.flush();
    std::_Exit(0);
}

int runRelay(int argc, char *argv[])
{
    std::string listen;
    std::vector<std::string> apis;
    po::options_description options("relay");
    options.add_options()("listen", po::value(&listen)->required())("api",
                                                                    po::value(&apis)->composing());
    parse(argc, argv, options);
    std::vector<net::ip::tcp::endpoint> endpoints;
    for (auto const &api : apis)
        endpoints.push_back(parseEndpoint(api));

    // As the controller's loop: one thread, no locking of each descriptor.
    net::io_context io(BOOST_ASIO_CONCURRENCY_HINT_UNSAFE_IO);
    BareRelay relay(io, parseEndpoint(listen), endpoints);
    net::signal_set stopSignals(io, SIGTERM, SIGINT);
    stopSignals.async_wait([&io](boost::system::error_code const &, int) { io.stop(); });
    relay.start();
    io.run();
    std::_Exit(0);
}

// On a machine with several processors, the controller (or the bare relay, or the broker) gets
// the first to itself and the benchmark with its load generators keeps to the others: all are
// measured alike, without sharing a processor with their own load, and without the scheduler
// moving them about between runs. Returns the processors of the controller, or nothing on one
// processor.
std::optional<cpu_set_t> pinProcessors()
{
    cpu_set_t available;
    if (sched_getaffinity(0, sizeof available, &available) != 0 || CPU_COUNT(&available) < 2)
        return std::nullopt;
    cpu_set_t target, load = available;
    CPU_ZERO(&target);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &available))
        {
            CPU_SET(cpu, &target);
            CPU_CLR(cpu, &load);
            break;
        }
    if (sched_setaffinity(0, sizeof load, &load) != 0)
        return std::nullopt;
    return target;
}

int runBenchmark(int argc, char *argv[])
{
    BenchRun::Settings settings;
    std::string json;
    long warmUp = 500, measure = 2000;
    bool help = false, noPin = false, noReload = false;
    po::options_description options("tt_bench [options]");
    options.add_options()("help", po::bool_switch(&help), "this text")(
        "controller", po::value(&settings.controller)->default_value("build/tt_controller"),
        "the controller binary")("json", po::value(&json)->default_value("build/bench.json"),
                                 "where the figures go as JSON")(
        "logs", po::value(&settings.logDirectory)->default_value("build"),
        "where the controller's standard error goes")("quick", po::bool_switch(&settings.quick),
                                                      "a tiny run, for the smoke test")(
        "repetitions", po::value(&settings.repetitions), "runs per figure (3)")(
        "fleet", po::value(&settings.fleet),
        "devices in the admission, reload and listing fleets (0: as many as the controller's "
        "descriptors allow)")("relay-devices", po::value(&settings.relayDevices),
                              "devices for the relay (1000)")(
        "result-size", po::value(&settings.resultSize), "bytes of each result text (64)")(
        "rate", po::value(&settings.offeredRate), "fixed offered load, round trips/s (10000)")(
        "window", po::value(&settings.window), "tests outstanding at saturation (256)")(
        "warm-up-ms", po::value(&warmUp), "time before each measurement (500)")(
        "measure-ms", po::value(&measure), "length of each measurement (2000)")(
        "no-reload", po::bool_switch(&noReload),
        "leave out the reload phases (for a controller that cannot reload)")(
        "only", po::value(&settings.only),
        "one phase alone: reload-memory (the reloads with a full API queue and with a full "
        "table of running requests) or listing (round trips while an operator pages through "
        "the device listing of a full fleet)")(
        "reload-queue-mib", po::value(&settings.reloadQueueMiB),
        "the API queue's bound the controller is given for the reload with a full queue (128)")(
        "reload-running-mib", po::value(&settings.reloadRunningMiB),
        "a cap on the running requests' tasks for the reload with a full table (0: up to the "
        "controller's own bound)")(
        "no-pin", po::bool_switch(&noPin),
        "let the controller, the relay and the broker share every processor with the load "
        "generators");
    auto const values = parse(argc, argv, options);
    if (help)
    {
        std::cout << options << "\n";
        return 0;
    }
    settings.reload = !noReload;
    if (!settings.only.empty() && settings.only != "reload-memory" && settings.only != "listing")
    {
        std::cerr << "tt_bench: no phase " << settings.only
                  << " (--only reload-memory or --only listing)" << std::endl;
        return 1;
    }
    if (settings.reloadQueueMiB == 0)
    {
        std::cerr << "tt_bench: --reload-queue-mib must be at least 1" << std::endl;
        return 1;
    }
    if (settings.only == "reload-memory" && noReload)
    {
        std::cerr << "tt_bench: --only reload-memory and --no-reload leave nothing to run"
                  << std::endl;
        return 1;
    }
    if (settings.quick)
    {
        auto keep = [&values](char const *name)
        { return values.count(name) && !values[name].defaulted(); };
        if (!keep("repetitions"))
            settings.repetitions = 1;
        if (!keep("fleet"))
            settings.fleet = 200;
        if (!keep("relay-devices"))
            settings.relayDevices = 50;
        if (!keep("rate"))
            settings.offeredRate = 2000;
        if (!keep("warm-up-ms"))
            warmUp = 100;
        if (!keep("measure-ms"))
            measure = 300;
        if (!keep("reload-queue-mib"))
            settings.reloadQueueMiB = 8;
        if (!keep("reload-running-mib"))
            settings.reloadRunningMiB = 8;
    }
    if (!noPin)
        settings.targetCpus = pinProcessors();
    settings.warmUp = std::chrono::milliseconds(warmUp);
    settings.measure = std::chrono::milliseconds(measure);
    settings.self = std::filesystem::canonical("/proc/self/exe").string();
    settings.controller = std::filesystem::absolute(settings.controller).string();
    if (!std::filesystem::exists(settings.controller))
    {
        std::cerr << "tt_bench: " << settings.controller << " is not built" << std::endl;
        return 1;
    }

    net::io_context io;
    BenchRun bench(io, settings);
    std::optional<BenchReport> report;
    net::spawn(
        io, [&](net::yield_context yield) { report.emplace(bench.run(yield)); },
        kelvarin::triggerTesting::rethrowFailure);
    io.run();
    report->note("the machine is shared with other builds and tests, so every figure is noisy; "
                 "medians of several runs, spread = min..max");
    report->note(settings.targetCpus
                     ? "the controller, the bare relay and mosquitto ran on a processor of their "
                       "own, the load generators on the others"
                     : "the controller, the bare relay and mosquitto shared every processor with "
                       "the load generators");
    report->printTable(std::cout);
    std::ofstream(json) << report->json();
    std::cout << "\nFigures written to " << json << std::endl;
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    try
    {
        std::string const role = argc > 1 ? argv[1] : "";
        if (role == "devices")
            return runDevices(argc - 1, argv + 1);
        if (role == "relay")
            return runRelay(argc - 1, argv + 1);
#ifdef TT_BENCH_MOSQUITTO
        if (role == "mqtt-clients")
            return runMqttClients(argc - 1, argv + 1);
#endif
        return runBenchmark(argc, argv);
    }
    catch (std::exception const &e)
    {
        std::cerr << "tt_bench: " << e.what() << std::endl;
        return 1;
    }
}
