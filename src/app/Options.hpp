#pragma once

#include "app/APIOptions.hpp"
#include "app/DeviceOptions.hpp"
#include "app/MetricsOptions.hpp"

#include <cstddef>
#include <iosfwd>
#include <string>

// Everything the process is configured with; filled once by parseOptions.
struct Options
{
    kelvarin::triggerTesting::APIOptions api;
    kelvarin::triggerTesting::DeviceOptions device;
    kelvarin::triggerTesting::MetricsOptions metrics;
    // The unit --show-device asks the running controller for, as given.
    std::string shownUnit;
};

inline constexpr char const *defaultConfigPath = "/opt/kelvarin/etc/tt_controller.cfg";
inline constexpr char const *defaultAllHostname = "api-all.tt.kelvarin.net";
inline constexpr char const *defaultBestHostname = "api-best.tt.kelvarin.net";
// The largest configuration file that is read; a larger one is refused.
inline constexpr std::size_t configurationFileLimit = std::size_t{1} << 20;

// What the command line asks the process to do once it has been read.
enum class Action
{
    // Start the service with the options.
    run,
    // Only check the configuration that was read: nothing is opened, nothing is printed.
    checkConfiguration,
    // The help text or the version was written; end without reading the configuration.
    done,
    // Ask the running controller, at the metrics endpoint of the configuration, for a unit's
    // connections (--show-device), or for its status (--show-status), and print the answer.
    showDevice,
    showStatus
};

// Reads the command line and the configuration file it names into options. --help writes the
// help text to helpStream, and --version the version and --reload-state-formats the state
// formats this program reads to versionStream; none of them reads the file. Every failure is
// thrown.
Action parseOptions(int argc, char const *const argv[], Options &options, std::ostream &helpStream,
                    std::ostream &versionStream);
// Reads the text of a configuration file into options, as a start does; failures are thrown.
void parseConfiguration(std::istream &text, Options &options);
// The text of the configuration file the command line names; failures are thrown as by a start.
std::string readConfigurationFile(int argc, char const *const argv[]);
// The text of the configuration file at path. Nothing but a regular file of at most limit bytes
// is read, and opening it never waits (for the writer of a FIFO, say): anything else is thrown
// with what it is.
std::string readConfigurationText(std::string const &path,
                                  std::size_t limit = configurationFileLimit);
