#pragma once

#include "status/ValidateMessage.hpp"

#include <functional>
#include <map>
#include <vector>

namespace kelvarin::triggerTesting
{

// Validations asked and not yet answered, with whoever waits for each answer.
class ValidateRequestsManager
{
public:
    using Callback = std::function<void(bool)>;

    ValidateRequestsManager() = default;
    ValidateRequestsManager(ValidateRequestsManager const&) = delete;
    ValidateRequestsManager& operator=(ValidateRequestsManager const&) = delete;

    // Adds a waiter for the key; several askers of one key all wait, in asking order.
    void storeRequestCallback(ValidateMessage::IdType key, Callback callback);
    // Removes the key and returns one callback that answers every waiter of it in asking
    // order. Throws std::runtime_error "Not found" when nobody waits for the key.
    Callback takeRequestCallback(ValidateMessage::IdType key);

    // Pending keys in ascending order, with their waiters.
    std::map<ValidateMessage::IdType, std::vector<Callback>> const& pending() const
    {
        return requests;
    }

private:
    std::map<ValidateMessage::IdType, std::vector<Callback>> requests;
};

} // namespace kelvarin::triggerTesting
