#include "app/reload/SessionJoin.hpp"

#include <cstdint>
#include <unordered_map>

namespace kelvarin::triggerTesting
{

ReloadState joinHandOvers(DeviceSideHandOver devices, APISideHandOver api)
{
    std::unordered_map<void const *, std::int64_t> indexOfSession;
    for (std::size_t i = 0; i < devices.sessions.size(); ++i)
        indexOfSession.emplace(devices.sessions[i], static_cast<std::int64_t>(i));
    auto const indexOf = [&](void const *session)
    {
        auto const found = indexOfSession.find(session);
        return found == indexOfSession.end() ? std::int64_t{-1} : found->second;
    };

    ReloadState state;
    state.listeners = std::move(devices.listeners);
    state.devices = std::move(devices.devices);
    state.apiQueues = std::move(api.sessions);
    state.requests.reserve(api.requests.size());
    for (auto &request : api.requests)
        state.requests.push_back({std::move(request.metadata), indexOf(request.deviceSession)});
    state.reports = std::move(api.status.reports);
    for (auto const &validation : api.status.validations)
    {
        auto const &mac = validation.key.mac.bytes;
        auto &pending = state.validations.emplace_back(ReloadState::PendingValidation{
            validation.key.unitId, std::string(mac.begin(), mac.end()), {}});
        for (auto const *asker : validation.askers)
            if (auto const index = indexOf(asker); index >= 0)
                pending.askers.push_back(static_cast<std::uint32_t>(index));
    }
    return state;
}

std::vector<int> carriedDescriptors(ReloadState const &state)
{
    std::vector<int> descriptors;
    for (auto const &listener : state.listeners)
        descriptors.push_back(listener.descriptor);
    for (auto const &device : state.devices)
        descriptors.push_back(device.descriptor);
    for (auto const &queue : state.apiQueues)
        if (queue.descriptor >= 0) // a queue without its connection
            descriptors.push_back(queue.descriptor);
    return descriptors;
}

} // namespace kelvarin::triggerTesting
