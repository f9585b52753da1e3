#pragma once

#include "status/ValidateMessage.hpp"

#include <cstddef>
#include <functional>
#include <map>
#include <vector>

namespace kelvarin::triggerTesting
{

// Validations asked and not yet answered, with whoever waits for each answer. Askers that are
// gone (an AskerCallback whose asker has ended) are forgotten when their key is next asked
// for, when the table is swept before it is sent again, and whenever the table has doubled since
// its last sweep, so that it holds about as many askers as still wait.
class ValidateRequestsManager
{
public:
    using Callback = std::function<void(bool)>;

    ValidateRequestsManager() = default;
    ValidateRequestsManager(ValidateRequestsManager const &) = delete;
    ValidateRequestsManager &operator=(ValidateRequestsManager const &) = delete;

    // Adds a waiter for the key; several askers of one key all wait, in asking order.
    void storeRequestCallback(ValidateMessage::IdType key, Callback callback);
    // Removes the key and returns one callback that answers every waiter of it in asking
    // order. Throws std::runtime_error "Not found" when nobody waits for the key.
    Callback takeRequestCallback(ValidateMessage::IdType key);
    // Forgets askers that are gone, and keys that nobody waits for any more.
    void dropGoneAskers();
    // Whether someone still waits for the key's answer: an asker that is not gone.
    bool isAwaited(ValidateMessage::IdType const &key) const;

    // Pending keys in ascending order, with their waiters.
    std::map<ValidateMessage::IdType, std::vector<Callback>> const &pending() const
    {
        return requests;
    }

private:
    std::map<ValidateMessage::IdType, std::vector<Callback>> requests;
    std::size_t askers = 0;
    std::size_t askersAfterSweep = 0;
};

} // namespace kelvarin::triggerTesting
