#pragma once

#include <chrono>
#include <cstddef>
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
    // What the unsent messages of all API sessions may cost together, in bytes (texts and their
    // bookkeeping); beyond it the oldest of the session holding the most go. 0 for no bound.
    std::size_t queueLimit = std::size_t{256} << 20;
};

} // namespace kelvarin::triggerTesting
