#pragma once

#include <chrono>
#include <string>

namespace kelvarin::triggerTesting
{

// Settings of the API side, read from the configuration file.
struct APIOptions
{
    std::string allHostname;  // resolves to every API server
    std::string bestHostname; // the validator and status server
    std::string service;
    std::chrono::seconds refreshInterval{1};
};

} // namespace kelvarin::triggerTesting
