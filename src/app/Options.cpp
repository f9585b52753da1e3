#include "app/Options.hpp"

#include "app/ListenAddress.hpp"

#include <boost/program_options.hpp>

#include <systemd/sd-daemon.h>

#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <limits>
#include <ostream>
#include <stdexcept>

namespace po = boost::program_options;

namespace
{

po::options_description genericOptions(std::string &configPath)
{
    po::options_description generic("Generic options");
    generic.add_options()(
        "config,c", po::value<std::string>(&configPath)->default_value(defaultConfigPath),
        "path to the configuration file")("check-config", "check the configuration file and exit")(
        "version", "print the version and exit")("help", "");
    return generic;
}

// Whole MiB, so that a bound in bytes still fits the machine's size type.
std::function<void(std::int64_t)> mebibytesChecker(char const *name)
{
    return [name](std::int64_t mebibytes)
    {
        constexpr auto largest =
            static_cast<std::int64_t>(std::numeric_limits<std::size_t>::max() >> 20);
        if (mebibytes < 0 || mebibytes > largest)
        {
            po::invalid_option_value error(std::to_string(mebibytes));
            error.set_option_name(name);
            throw error;
        }
    };
}

// A pause of at least a second between resolutions: without one the resolver loops at full speed
// and floods the log.
void checkRefreshInterval(std::int32_t seconds)
{
    if (seconds < 1)
    {
        po::invalid_option_value error(std::to_string(seconds));
        error.set_option_name("api-side.refresh-interval");
        throw error;
    }
}

// Sizes given in whole MiB, read before they become bytes.
struct Mebibytes
{
    std::int64_t queueLimit = 256;
    std::int64_t receiveBudget = 256;
};

po::options_description configurationOptions(Options &options, std::int32_t &refreshSeconds,
                                             Mebibytes &sizes, std::string &metricsListen)
{
    po::options_description configuration("Configuration");
    configuration.add_options()(
        "api-side.all-hostname",
        po::value<std::string>(&options.api.allHostname)->default_value(defaultAllHostname),
        "api-all hostname")(
        "api-side.best-hostname",
        po::value<std::string>(&options.api.bestHostname)->default_value(defaultBestHostname),
        "api-best hostname")("api-side.service",
                             po::value<std::string>(&options.api.service)->default_value("10002"),
                             "api service name")(
        "api-side.refresh-interval",
        po::value<std::int32_t>(&refreshSeconds)->default_value(1)->notifier(checkRefreshInterval),
        "api refresh interval")(
        "api-side.queue-limit-mib",
        po::value<std::int64_t>(&sizes.queueLimit)
            ->default_value(256)
            ->notifier(mebibytesChecker("api-side.queue-limit-mib")),
        "unsent messages of all API servers together, in MiB (0: no bound)")(
        "device-side.listen-service",
        po::value<std::vector<std::string>>(&options.device.listenServices), "listen service name")(
        "device-side.receive-budget-mib",
        po::value<std::int64_t>(&sizes.receiveBudget)
            ->default_value(256)
            ->notifier(mebibytesChecker("device-side.receive-budget-mib")),
        "partly received device messages over all devices, in MiB (0: no bound)")(
        "metrics.listen", po::value<std::string>(&metricsListen)->default_value(""),
        "metrics listen address");
    return configuration;
}

} // namespace

Action parseOptions(int argc, char const *const argv[], Options &options, std::ostream &helpStream,
                    std::ostream &versionStream)
{
    // Asked before anything else, leaving the environment for the second query that adopts
    // the sockets.
    options.device.useSystemdSockets = sd_listen_fds(0) != 0;

    std::string configPath;
    auto const generic = genericOptions(configPath);

    po::variables_map commandLine;
    po::store(po::parse_command_line(argc, argv, generic), commandLine);
    po::notify(commandLine);
    if (commandLine.count("help"))
    {
        helpStream << generic << std::endl;
        return Action::done;
    }
    if (commandLine.count("version"))
    {
        versionStream << "tt_controller " << TT_CONTROLLER_VERSION << std::endl;
        return Action::done;
    }

    std::ifstream file(configPath);
    if (!file)
        throw std::runtime_error("can not open config file: " + configPath);
    parseConfiguration(file, options);
    return commandLine.count("check-config") ? Action::checkConfiguration : Action::run;
}

void parseConfiguration(std::istream &text, Options &options)
{
    std::int32_t refreshSeconds = 1;
    Mebibytes sizes;
    std::string metricsListen;
    auto const configuration = configurationOptions(options, refreshSeconds, sizes, metricsListen);
    po::variables_map settings;
    po::store(po::parse_config_file(text, configuration, false), settings);
    po::notify(settings);
    options.api.refreshInterval = std::chrono::seconds(refreshSeconds);
    options.api.queueLimit = static_cast<std::size_t>(sizes.queueLimit) << 20;
    options.device.receiveBudget = static_cast<std::size_t>(sizes.receiveBudget) << 20;
    if (!metricsListen.empty())
        options.metrics.listen = kelvarin::triggerTesting::parseListenAddress(metricsListen);
}

std::string readConfigurationFile(int argc, char const *const argv[])
{
    std::string configPath;
    po::variables_map commandLine;
    po::store(po::parse_command_line(argc, argv, genericOptions(configPath)), commandLine);
    po::notify(commandLine);
    std::ifstream file(configPath);
    if (!file)
        throw std::runtime_error("can not open config file: " + configPath);
    return std::string(std::istreambuf_iterator<char>(file), {});
}
