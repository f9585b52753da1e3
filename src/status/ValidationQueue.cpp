#include "status/ValidationQueue.hpp"

#include "status/ValidateRequestsManager.hpp"

#include <algorithm>
#include <iostream>
#include <set>

namespace kelvarin::triggerTesting
{

namespace
{

// A sweep walks the whole queue; sweeping only after as many pushes as the queue held after the
// last one (a quarter of the limit at most) keeps that to a few lookups per push.
constexpr std::size_t sweepSlack = 64;

} // namespace

bool ValidationQueue::push(ValidateMessage::IdType key)
{
    ++pushesSinceSweep;
    if (pushesSinceSweep > std::min(sizeAfterSweep, limit / 4) + sweepSlack)
        sweep();
    if (keys.size() >= limit)
    {
        std::clog << "API Status: validation queue full, dropping the request for unitId: ["
                  << key.unitId << "] mac: [" << key.mac.toString() << "]" << std::endl;
        ++droppedTotal;
        return false;
    }
    keys.push_back(key);
    return true;
}

std::optional<ValidateMessage::IdType> ValidationQueue::take()
{
    while (!keys.empty())
    {
        auto const key = keys.front();
        keys.pop_front();
        if (requests.isAwaited(key))
            return key;
    }
    return std::nullopt;
}

void ValidationQueue::sweep()
{
    std::set<ValidateMessage::IdType> queued;
    std::erase_if(keys, [this, &queued](ValidateMessage::IdType const &key)
                  { return !requests.isAwaited(key) || !queued.insert(key).second; });
    sizeAfterSweep = keys.size();
    pushesSinceSweep = 0;
}

} // namespace kelvarin::triggerTesting
