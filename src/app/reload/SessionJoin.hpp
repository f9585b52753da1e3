#pragma once

#include "api/APISessionHandOver.hpp"
#include "app/reload/ReloadState.hpp"
#include "device/DeviceHandOver.hpp"
#include "status/ValidateMessage.hpp"

#include <algorithm>
#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting
{

// The joins between the sessions of one program and those of the next. In a program, a run and
// a validation's askers are named by the device sessions they belong to; in the state, by the
// index of each session's record. Nothing here touches a connection.

// Handing over: the two sides' records joined into one state. A run whose session handed
// nothing over names no device; an asker that handed nothing over is left out.
ReloadState joinHandOvers(DeviceSideHandOver devices, APISideHandOver api);

// Every descriptor a state names, listening sockets first: what the next program inherits.
std::vector<int> carriedDescriptors(ReloadState const &state);

// Taking over: each running request named by the session that adopted its device. Where that
// device's record was not adopted, by `notAdopted`, so that its runs can be answered as those of
// a departed device; where it named no device, by none.
template <class Session>
std::vector<RunningRequestHandOver>
requestsOfAdopted(std::vector<ReloadState::RunningRequest> &requests,
                  std::vector<std::shared_ptr<Session>> const &adopted, void const *notAdopted)
{
    std::vector<RunningRequestHandOver> running;
    running.reserve(requests.size());
    for (auto &request : requests)
    {
        void const *session = nullptr;
        if (request.device >= 0)
        {
            auto const &device = adopted[static_cast<std::size_t>(request.device)];
            session = device ? device.get() : notAdopted;
        }
        running.push_back({std::move(request.metadata), session});
    }
    return running;
}

// Taking over: each pending validation with the askers of the sessions that adopted them.
template <class Session>
auto validationsOfAdopted(std::vector<ReloadState::PendingValidation> const &pending,
                          std::vector<std::shared_ptr<Session>> const &adopted)
{
    using Asker = decltype(std::declval<Session &>().validationAsker());
    std::vector<std::pair<ValidateMessage::IdType, std::vector<Asker>>> validations;
    validations.reserve(pending.size());
    for (auto const &validation : pending)
    {
        EtherAddr::Octets octets{};
        std::copy_n(validation.mac.begin(), std::min(validation.mac.size(), octets.size()),
                    octets.begin());
        auto &[key, askers] = validations.emplace_back(
            ValidateMessage::IdType{validation.unitId, EtherAddr(octets)}, std::vector<Asker>{});
        for (auto const index : validation.askers)
            if (auto const &session = adopted[index])
                askers.push_back(session->validationAsker());
    }
    return validations;
}

} // namespace kelvarin::triggerTesting
