#pragma once

#include "app/APIOptions.hpp"
#include "app/DeviceOptions.hpp"
#include "app/admin/MetricsOptions.hpp"

#include <iosfwd>

// Everything the process is configured with; filled once by parseOptions.
struct Options
{
    kelvarin::triggerTesting::APIOptions api;
    kelvarin::triggerTesting::DeviceOptions device;
    kelvarin::triggerTesting::MetricsOptions metrics;
};

inline constexpr char const *defaultConfigPath = "/opt/kelvarin/etc/tt_controller.cfg";
inline constexpr char const *defaultAllHostname = "api-all.tt.kelvarin.net";
inline constexpr char const *defaultBestHostname = "api-best.tt.kelvarin.net";

// Reads the command line and the configuration file it names into options. Returns false when
// the help text was asked for (and written to helpStream): the caller then ends without running.
// Every failure is thrown.
bool parseOptions(int argc, char const *const argv[], Options &options, std::ostream &helpStream);
