#include "app/Options.hpp"

#include "app/ListenAddress.hpp"
#include "app/reload/ReloadState.hpp"

#include <boost/program_options.hpp>

#include <systemd/sd-daemon.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <functional>
#include <limits>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace po = boost::program_options;

namespace
{

po::options_description genericOptions(std::string &configPath, std::string &shownUnit)
{
    po::options_description generic("Generic options");
    generic.add_options()(
        "config,c", po::value<std::string>(&configPath)->default_value(defaultConfigPath),
        "path to the configuration file")("check-config", "check the configuration file and exit")(
        "show-device", po::value<std::string>(&shownUnit)->value_name("UNIT"),
        "print a unit's connections and exit")(
        "show-status", "print the controller's status and exit")("version",
                                                                 "print the version and exit")(
        "reload-state-formats", "print the reload state formats and exit")("help", "");
    return generic;
}

// The command line, read against the generic options, which write the configuration path.
po::variables_map readCommandLine(int argc, char const *const argv[],
                                  po::options_description const &generic)
{
    po::variables_map commandLine;
    po::store(po::parse_command_line(argc, argv, generic), commandLine);
    po::notify(commandLine);
    return commandLine;
}

std::runtime_error readFailure(std::string const &path, int error)
{
    return std::runtime_error("can not read config file: " + path + ": " +
                              std::error_code(error, std::system_category()).message());
}

// At most limit + 1 bytes, so that a file above the limit is told from one at it.
std::string readAtMost(int descriptor, std::size_t limit, std::string const &path)
{
    std::string text;
    std::array<char, 65536> chunk;
    while (text.size() <= limit)
    {
        auto const wanted = std::min(chunk.size(), limit + 1 - text.size());
        auto const n = ::read(descriptor, chunk.data(), wanted);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw readFailure(path, errno);
        if (n == 0)
            break;
        text.append(chunk.data(), static_cast<std::size_t>(n));
    }
    return text;
}

std::string readRegularFile(int descriptor, std::size_t limit, std::string const &path)
{
    struct stat status
    {
    };
    if (::fstat(descriptor, &status) != 0)
        throw readFailure(path, errno);
    // A FIFO or a device would have the read wait for a writer, or never end.
    if (!S_ISREG(status.st_mode))
        throw std::runtime_error("the config file " + path + " is not a regular file");
    auto text = readAtMost(descriptor, limit, path);
    if (text.size() > limit)
        throw std::runtime_error("the config file " + path + " is larger than " +
                                 std::to_string(limit) + " bytes");
    return text;
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

// No name a resolver answers is longer, and a longer one cannot go into a WebSocket handshake's
// Host field either: one of 64 KiB would make the handshake throw. Refused here, where the
// text is at most a line, instead of at a connection.
constexpr std::size_t longestHostName = 253;

std::function<void(std::string const &)> hostNameChecker(char const *name)
{
    return [name](std::string const &hostName)
    {
        if (hostName.size() > longestHostName)
            throw po::error("the host name for option '" + std::string(name) + "' is longer than " +
                            std::to_string(longestHostName) + " bytes");
    };
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
    configuration.add_options()("api-side.all-hostname",
                                po::value<std::string>(&options.api.allHostname)
                                    ->default_value(defaultAllHostname)
                                    ->notifier(hostNameChecker("api-side.all-hostname")),
                                "api-all hostname")(
        "api-side.best-hostname",
        po::value<std::string>(&options.api.bestHostname)
            ->default_value(defaultBestHostname)
            ->notifier(hostNameChecker("api-side.best-hostname")),
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
    auto const generic = genericOptions(configPath, options.shownUnit);
    auto const commandLine = readCommandLine(argc, argv, generic);
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
    if (commandLine.count("reload-state-formats"))
    {
        // A reloading controller asks its successor this before it hands it its state: every
        // version the state reader takes, the oldest first.
        using kelvarin::triggerTesting::ReloadState;
        for (auto version = ReloadState::oldestFormatVersion; version <= ReloadState::formatVersion;
             ++version)
            versionStream << version << (version < ReloadState::formatVersion ? " " : "\n");
        versionStream.flush();
        return Action::done;
    }

    std::istringstream text(readConfigurationText(configPath));
    parseConfiguration(text, options);
    if (commandLine.count("show-device"))
        return Action::showDevice;
    if (commandLine.count("show-status"))
        return Action::showStatus;
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
    std::string shownUnit;
    readCommandLine(argc, argv, genericOptions(configPath, shownUnit));
    return readConfigurationText(configPath);
}

std::string readConfigurationText(std::string const &path, std::size_t limit)
{
    // Without O_NONBLOCK, opening a FIFO waits for its writer.
    int const descriptor = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (descriptor < 0)
        throw std::runtime_error("can not open config file: " + path);
    try
    {
        auto text = readRegularFile(descriptor, limit, path);
        ::close(descriptor);
        return text;
    }
    catch (...)
    {
        ::close(descriptor);
        throw;
    }
}
