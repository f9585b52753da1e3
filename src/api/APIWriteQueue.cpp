#include "api/APIWriteQueue.hpp"

#include <iterator>
#include <utility>

namespace kelvarin::triggerTesting
{

APIWriteQueue::APIWriteQueue(std::shared_ptr<APIQueueBudget> budget,
                             boost::asio::ip::tcp::endpoint endpoint)
    : budget(std::move(budget)), endpoint(std::move(endpoint))
{
}

APIWriteQueue::~APIWriteQueue()
{
    budget->close(account);
}

bool APIWriteQueue::push(SharedText message)
{
    auto const cost = queueEntryCost(*message);
    if (!budget->admits(cost))
    {
        // It goes the way of the older ones.
        noteDropped();
        return false;
    }
    queueBytes += message->size();
    queue.push_back(std::move(message));
    budget->charge(account, cost);
    budget->enforce();
    return true;
}

// Those at the front that are being written stay: the write still reads from them.
bool APIWriteQueue::dropOldest()
{
    if (queue.size() <= inWrite)
        return false;
    erase(queue.begin() + static_cast<std::ptrdiff_t>(inWrite));
    noteDropped();
    return true;
}

void APIWriteQueue::discardUnsent()
{
    while (queue.size() > inWrite)
        erase(std::prev(queue.end()));
}

std::size_t APIWriteQueue::beginWrite()
{
    constexpr std::size_t batchBytes = 64 * 1024;
    std::size_t bytes = 0;
    inWrite = 0;
    for (auto const &message : queue)
    {
        if (inWrite > 0 && bytes + message->size() > batchBytes)
            break;
        bytes += message->size();
        ++inWrite;
    }
    return inWrite;
}

void APIWriteQueue::endWrite(bool written)
{
    auto const count = std::exchange(inWrite, 0);
    for (std::size_t i = 0; written && i < count; ++i)
        erase(queue.begin());
}

void APIWriteQueue::erase(std::deque<SharedText>::iterator message)
{
    queueBytes -= (*message)->size();
    budget->refund(account, queueEntryCost(**message));
    queue.erase(message);
}

void APIWriteQueue::noteDropped()
{
    ++droppedTotal;
    budget->noteDropped(account, endpoint);
}

} // namespace kelvarin::triggerTesting
