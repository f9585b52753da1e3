#pragma once

#include "bench/BenchApiServer.hpp"
#include "bench/BenchRun.hpp"
#include "sim/SimValidator.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::bench
{

// The peers of one target: its API servers and validator in the benchmark's process, and the
// port its devices connect to.
struct BenchRun::Scenario
{
    std::vector<std::unique_ptr<BenchApiServer>> apis;
    std::optional<sim::SimValidator> validator;
    unsigned short apiPort = 0;
    unsigned short devicePort = 0;
    std::string label;

    std::uint64_t disconnectionsReported() const
    {
        return validator->stats().disconnectionsClean + validator->stats().disconnectionsTimeout;
    }
};

} // namespace kelvarin::triggerTesting::bench
