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

void ProbeTracker::enlist(ProbeSession &session, ProbeSession::Executor const &executor,
                          std::chrono::steady_clock::duration tick)
{
    sessions.push_back(session);
    if (!sweepTimer)
        sweepTimer.emplace(executor);
    if (tick < sweepTick)
    {
        sweepTick = tick;
        // A shorter tick than the one waited for takes effect now.
        if (sweepArmed)
            sweepTimer->cancel();
        sweepArmed = false;
    }
    if (!sweepArmed)
        armSweep();
}

void ProbeTracker::delist(ProbeSession &session)
{
    session.unlink();
    if (sessions.empty() && sweepArmed)
    {
        sweepTimer->cancel();
        sweepArmed = false;
    }
}

void ProbeTracker::armSweep()
{
    sweepArmed = true;
    sweepTimer->expires_after(sweepTick);
    sweepTimer->async_wait(
        [this](boost::system::error_code const &ec)
        {
            if (ec)
                return;
            sweepArmed = false;
            sweep();
        });
}

void ProbeTracker::sweep()
{
    auto const now = std::chrono::steady_clock::now();
    forEachConnection([now](ProbeSession &session) { session.checkDeadlines(now); });
    if (!sessions.empty() && !sweepArmed)
        armSweep();
}

} // namespace kelvarin::triggerTesting
