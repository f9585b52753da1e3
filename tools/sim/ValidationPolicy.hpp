#pragma once

#include "status/EtherAddr.hpp"

#include <cstdint>
#include <set>
#include <vector>

namespace kelvarin::triggerTesting::sim
{

// Which devices the simulated validator admits. With no list every device is admitted; with a
// list of unit ids, a list of MACs, or both, a device is admitted only when it is on every
// list that was given.
class ValidationPolicy
{
public:
    ValidationPolicy() = default;
    ValidationPolicy(std::vector<std::uint64_t> const &units, std::vector<EtherAddr> const &macs);

    bool admits(std::uint64_t unitId, EtherAddr const &mac) const;

private:
    std::set<std::uint64_t> units;
    std::set<EtherAddr::Octets> macs;
};

} // namespace kelvarin::triggerTesting::sim
