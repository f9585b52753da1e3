#include "device/ProbeTracker.hpp"

#include "device/ProbeSession.hpp"

#include <algorithm>

namespace kelvarin::triggerTesting
{

void ProbeTracker::addProbe(std::shared_ptr<ProbeSession> session)
{
    auto const unitId = session->getUnitId();
    probes.erase(unitId);
    probes.emplace(unitId, session);
    noteCount();
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
    noteCount();
}

// Once the fleet has halved, the table's buckets and the free streams kept for a fleet of its
// peak's size go too.
void ProbeTracker::noteCount()
{
    trimmer.noteCount(probes.size(),
                      [this]
                      {
                          probes.rehash(0);
                          streamPool.releaseFree();
                      });
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
    session.unitHook.unlink();
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

void ProbeTracker::indexUnit(ProbeSession &session)
{
    if (!session.unitHook.is_linked())
        units.insert(session);
}

void ProbeTracker::unitGroup(UnitIndex::const_iterator &first,
                             std::optional<DeviceConnectionView::State> state,
                             std::vector<ProbeSession const *> &group) const
{
    group.clear();
    auto const unitId = first->getUnitId();
    for (; first != units.end() && first->getUnitId() == unitId; ++first)
        if (!state || first->viewState() == *state)
            group.push_back(&*first);
    if (group.size() < 2)
        return;
    // Registered last first, then by the time each connected.
    std::reverse(group.begin(), group.end());
    std::stable_sort(group.begin(), group.end(),
                     [](ProbeSession const *a, ProbeSession const *b)
                     { return a->connectedAt > b->connectedAt; });
}

std::vector<DeviceConnectionView> ProbeTracker::connectionsOf(unsigned long unitId) const
{
    std::vector<DeviceConnectionView> views;
    auto first = units.find(unitId);
    if (first == units.end())
        return views;
    std::vector<ProbeSession const *> group;
    unitGroup(first, std::nullopt, group);
    for (auto const *session : group)
        views.push_back(session->view());
    return views;
}

DevicePage ProbeTracker::page(DevicePageQuery const &query) const
{
    DevicePage page;
    page.connections.reserve(query.limit);
    std::vector<ProbeSession const *> group;
    auto it = query.after ? units.upper_bound(*query.after) : units.begin();
    while (it != units.end())
    {
        unitGroup(it, query.state, group);
        if (group.empty())
            continue;
        if (!page.connections.empty() && page.connections.size() + group.size() > query.limit)
        {
            page.next = page.connections.back().unitId;
            return page;
        }
        for (auto const *session : group)
            page.connections.push_back(session->view());
        if (page.connections.size() < query.limit)
            continue;
        // A full page is the last one only when no later unit has a connection to list.
        for (; it != units.end(); ++it)
            if (!query.state || it->viewState() == *query.state)
            {
                page.next = page.connections.back().unitId;
                break;
            }
        return page;
    }
    return page;
}

} // namespace kelvarin::triggerTesting
