#include "device/ProbeTracker.hpp"

#include "device/ProbeSession.hpp"

namespace kelvarin::triggerTesting
{

void ProbeTracker::addProbe(std::shared_ptr<ProbeSession> session)
{
    auto const unitId = session->getUnitId();
    probes.erase(unitId);
    probes.emplace(unitId, session);
    trimmer.noteCount(probes.size());
}

std::shared_ptr<ProbeSession> ProbeTracker::getProbe(unsigned long unitId) const
{
    auto const found = probes.find(unitId);
    if (found == probes.end())
        return {};
    return found->second.lock();
}

void ProbeTracker::removeProbe(unsigned long unitId, std::shared_ptr<ProbeSession> const &session)
{
    auto const found = probes.find(unitId);
    if (found == probes.end() || found->second.lock() != session)
        return;
    probes.erase(found);
    trimmer.noteCount(probes.size());
}

bool ProbeTracker::hasProbe(unsigned long unitId) const
{
    return probes.contains(unitId);
}

} // namespace kelvarin::triggerTesting
