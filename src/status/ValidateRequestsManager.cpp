#include "status/ValidateRequestsManager.hpp"

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

} // namespace

void ValidateRequestsManager::storeRequestCallback(ValidateMessage::IdType key, Callback callback)
{
    // An empty callback has nobody behind it; storing it would only make a key look pending.
    if (!callback)
        return;
    requests[key].push_back(std::move(callback));
}

ValidateRequestsManager::Callback
ValidateRequestsManager::takeRequestCallback(ValidateMessage::IdType key)
{
    auto entry = requests.find(key);
    if (entry == requests.end())
        throw std::runtime_error("Not found");
    std::vector<Callback> waiters = std::move(entry->second);
    requests.erase(entry);
    if (waiters.size() == 1)
        return std::move(waiters.front());
    return [waiters = std::move(waiters)](bool valid) { answerAll(waiters, valid); };
}

} // namespace kelvarin::triggerTesting
