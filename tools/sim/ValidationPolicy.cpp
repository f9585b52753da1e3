#include "sim/ValidationPolicy.hpp"

namespace kelvarin::triggerTesting::sim
{

ValidationPolicy::ValidationPolicy(std::vector<std::uint64_t> const &units,
                                   std::vector<EtherAddr> const &macs)
    : units(units.begin(), units.end())
{
    for (auto const &mac : macs)
        this->macs.insert(mac.bytes);
}

bool ValidationPolicy::admits(std::uint64_t unitId, EtherAddr const &mac) const
{
    return (units.empty() || units.count(unitId) != 0) &&
           (macs.empty() || macs.count(mac.bytes) != 0);
}

} // namespace kelvarin::triggerTesting::sim
