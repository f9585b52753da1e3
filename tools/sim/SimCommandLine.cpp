#include "sim/SimCommandLine.hpp"

#include "sim/SimArguments.hpp"

#include <boost/program_options.hpp>

#include <sstream>
#include <stdexcept>

namespace kelvarin::triggerTesting::sim
{

namespace po = boost::program_options;

namespace
{

po::options_description commonOptions()
{
    po::options_description options("Common options");
    options.add_options()("help", "this text")("duration", po::value<double>()->default_value(0),
                                               "seconds to run, 0 for until SIGINT or SIGTERM")(
        "json", "print the summary also as one JSON line")("quiet", "print only the summary")(
        "record", po::value<std::string>(),
        "write every event as one JSON line to this file, flushed per line");
    return options;
}

po::options_description apiOptions()
{
    po::options_description options("api: simulated API servers that issue test requests");
    options.add_options()("listen", po::value<std::vector<std::string>>(),
                          "address:port to serve on; repeat for several servers")(
        "units", po::value<std::string>(), "unit ids to test, in turn (101-105,200)")(
        "rate", po::value<double>()->default_value(1), "test requests per second and server")(
        "task", po::value<std::string>()->default_value("ping"), "task of the test requests")(
        "action-id", po::value<std::uint64_t>()->default_value(1), "action id of the requests")(
        "only-online", "ask isOnline first and send a test only to an online unit");
    return options;
}

po::options_description validatorOptions()
{
    po::options_description options("validator: a simulated validator (best API server)");
    options.add_options()("listen", po::value<std::string>(), "address:port to serve on")(
        "accept-units", po::value<std::string>(), "admit only these unit ids")(
        "accept-macs", po::value<std::string>(), "admit only these MAC addresses");
    return options;
}

po::options_description deviceOptions()
{
    po::options_description options("devices: a fleet of simulated devices");
    options.add_options()("controller", po::value<std::string>(),
                          "address:port of the controller's device side")(
        "count", po::value<unsigned>(), "number of devices")(
        "units", po::value<std::string>(), "their unit ids (default: from --first-unit on)")(
        "first-unit", po::value<std::uint64_t>()->default_value(1),
        "first unit id when --units is not given")(
        "macs", po::value<std::string>(),
        "their MAC addresses, in order (default: 02:00 and the unit id)")(
        "results", po::value<unsigned>()->default_value(1),
        "results per run message")("misbehave", po::value<std::vector<std::string>>(),
                                   "UNIT=drop|silent|malformed|oversized[:AFTER]; repeatable");
    return options;
}

std::string const &required(po::variables_map const &values, char const *name)
{
    if (!values.count(name))
        throw std::invalid_argument(std::string("missing --") + name);
    return values[name].as<std::string>();
}

void readApi(po::variables_map const &values, SimCommandLine &line)
{
    if (!values.count("listen"))
        throw std::invalid_argument("missing --listen");
    for (auto const &text : values["listen"].as<std::vector<std::string>>())
        line.listen.push_back(parseEndpoint(text));
    line.api.rate = values["rate"].as<double>();
    if (line.api.rate < 0)
        throw std::invalid_argument("--rate must not be negative");
    if (values.count("units"))
        line.api.units = parseUnitIds(values["units"].as<std::string>());
    else if (line.api.rate > 0)
        throw std::invalid_argument("missing --units (or --rate 0)");
    line.api.task = values["task"].as<std::string>();
    line.api.actionId = values["action-id"].as<std::uint64_t>();
    line.api.onlyOnline = values.count("only-online") != 0;
}

void readValidator(po::variables_map const &values, SimCommandLine &line)
{
    line.listen.push_back(parseEndpoint(required(values, "listen")));
    std::vector<std::uint64_t> units;
    std::vector<EtherAddr> macs;
    if (values.count("accept-units"))
        units = parseUnitIds(values["accept-units"].as<std::string>());
    if (values.count("accept-macs"))
        macs = parseMacList(values["accept-macs"].as<std::string>());
    line.policy = ValidationPolicy(units, macs);
}

void readDevices(po::variables_map const &values, SimCommandLine &line)
{
    auto &fleet = line.fleet;
    fleet.controller = parseEndpoint(required(values, "controller"));
    if (values.count("units"))
        fleet.units = parseUnitIds(values["units"].as<std::string>());
    if (values.count("count"))
    {
        auto const count = values["count"].as<unsigned>();
        if (fleet.units.empty())
            for (unsigned i = 0; i < count; ++i)
                fleet.units.push_back(values["first-unit"].as<std::uint64_t>() + i);
        else if (count != fleet.units.size())
            throw std::invalid_argument("--count " + std::to_string(count) + " but --units names " +
                                        std::to_string(fleet.units.size()) + " devices");
    }
    if (fleet.units.empty())
        throw std::invalid_argument("missing --count or --units");
    if (values.count("macs"))
        fleet.macs = parseMacList(values["macs"].as<std::string>());
    if (fleet.macs.size() > fleet.units.size())
        throw std::invalid_argument("more MAC addresses than devices");
    fleet.resultsPerRun = values["results"].as<unsigned>();
    if (fleet.resultsPerRun == 0)
        throw std::invalid_argument("--results must be at least 1");
    if (values.count("misbehave"))
        for (auto const &text : values["misbehave"].as<std::vector<std::string>>())
            fleet.misbehaviours.insert(parseMisbehaviour(text));
}

} // namespace

std::string SimCommandLine::usage()
{
    std::ostringstream text;
    text << "Usage: tt_simulator api|validator|devices [options]\n"
         << commonOptions() << apiOptions() << validatorOptions() << deviceOptions();
    return text.str();
}

SimCommandLine SimCommandLine::parse(int argc, char const *const argv[])
{
    SimCommandLine line;
    std::string const role = argc > 1 ? argv[1] : "";
    po::options_description options = commonOptions();
    if (role == "api")
        options.add(apiOptions());
    else if (role == "validator")
        options.add(validatorOptions());
    else if (role == "devices")
        options.add(deviceOptions());
    else if (role == "--help" || role == "help")
    {
        line.help = true;
        line.helpText = usage();
        return line;
    }
    else
        throw std::invalid_argument("the first argument must be api, validator or devices");

    po::variables_map values;
    po::store(po::command_line_parser(argc - 1, argv + 1).options(options).run(), values);
    po::notify(values);
    if (values.count("help"))
    {
        line.help = true;
        line.helpText = usage();
        return line;
    }
    auto const seconds = values["duration"].as<double>();
    if (seconds < 0)
        throw std::invalid_argument("--duration must not be negative");
    line.duration = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    line.json = values.count("json") != 0;
    line.quiet = values.count("quiet") != 0;
    if (values.count("record"))
        line.record = values["record"].as<std::string>();
    if (role == "api")
    {
        line.role = Role::api;
        readApi(values, line);
    }
    else if (role == "validator")
    {
        line.role = Role::validator;
        readValidator(values, line);
    }
    else
    {
        line.role = Role::devices;
        readDevices(values, line);
    }
    return line;
}

} // namespace kelvarin::triggerTesting::sim
