#include "status/ValidateRequestsManager.hpp"

#include "status/AskerCallback.hpp"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <utility>

namespace kelvarin::triggerTesting
{

namespace
{

// Every waiter hears the answer even when an earlier one fails; the first failure is passed on
// afterwards so that the caller still learns of it.
void answerAll(std::vector<ValidateRequestsManager::Callback> const &waiters, bool valid)
{
    std::exception_ptr firstFailure;
    for (auto const &waiter : waiters)
    {
        try
        {
            waiter(valid);
        }
        catch (...)
        {
            if (!firstFailure)
                firstFailure = std::current_exception();
        }
    }
    if (firstFailure)
        std::rethrow_exception(firstFailure);
}

bool isGone(ValidateRequestsManager::Callback const &waiter)
{
    auto const *asker = waiter.target<AskerCallback>();
    return asker != nullptr && asker->isGone();
}

// Removes the waiters that are gone; returns how many.
std::size_t dropGone(std::vector<ValidateRequestsManager::Callback> &waiters)
{
    auto const gone = std::remove_if(waiters.begin(), waiters.end(), isGone);
    auto const count = static_cast<std::size_t>(waiters.end() - gone);
    waiters.erase(gone, waiters.end());
    return count;
}

// A sweep costs a walk over the whole table; sweeping only after it has doubled keeps that to a
// constant share per asker.
constexpr std::size_t sweepSlack = 64;

} // namespace

void ValidateRequestsManager::storeRequestCallback(ValidateMessage::IdType key, Callback callback)
{
    // An empty callback has nobody behind it; storing it would only make a key look pending.
    if (!callback)
        return;
    auto &waiters = requests[key];
    askers -= dropGone(waiters);
    waiters.push_back(std::move(callback));
    ++askers;
    if (askers > 2 * askersAfterSweep + sweepSlack)
        dropGoneAskers();
}

void ValidateRequestsManager::dropGoneAskers()
{
    for (auto entry = requests.begin(); entry != requests.end();)
    {
        askers -= dropGone(entry->second);
        entry = entry->second.empty() ? requests.erase(entry) : std::next(entry);
    }
    askersAfterSweep = askers;
}

bool ValidateRequestsManager::isAwaited(ValidateMessage::IdType const &key) const
{
    auto const entry = requests.find(key);
    return entry != requests.end() &&
           !std::all_of(entry->second.begin(), entry->second.end(), isGone);
}

ValidateRequestsManager::Callback
ValidateRequestsManager::takeRequestCallback(ValidateMessage::IdType key)
{
    auto entry = requests.find(key);
    if (entry == requests.end())
        throw std::runtime_error("Not found");
    std::vector<Callback> waiters = std::move(entry->second);
    requests.erase(entry);
    askers -= waiters.size();
    if (waiters.size() == 1)
        return std::move(waiters.front());
    return [waiters = std::move(waiters)](bool valid) { answerAll(waiters, valid); };
}

} // namespace kelvarin::triggerTesting
