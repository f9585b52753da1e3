#pragma once

#include "api/APIQueueBudget.hpp"
#include "api/APISessionHandOver.hpp"

#include <boost/asio/ip/tcp.hpp>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>

namespace kelvarin::triggerTesting
{

// The messages an API session has yet to write, oldest first, and what they cost against the
// budget all sessions share: each message is charged when queued and refunded when written or
// dropped. The budget drops the oldest messages of the heaviest queue when they all hold too
// much, and a message larger than the whole budget is dropped at once; every drop is counted
// here and told in the budget's drop line under the session's endpoint. The messages at the front
// that a write is reading from are never dropped.
class APIWriteQueue
{
public:
    APIWriteQueue(std::shared_ptr<APIQueueBudget> budget, boost::asio::ip::tcp::endpoint endpoint);
    ~APIWriteQueue();
    APIWriteQueue(APIWriteQueue const &) = delete;
    APIWriteQueue &operator=(APIWriteQueue const &) = delete;

    // False when the message was dropped: larger than all queues together may hold.
    bool push(SharedText message);
    // Drops the oldest message that is not being written, for the budget; false when there is
    // none.
    bool dropOldest();
    // Drops, without counting, every message that is not being written: nobody will take them.
    void discardUnsent();
    // Goes on from the count of a session that held this queue before.
    void setDropped(std::uint64_t count) { droppedTotal = count; }

    // The messages at the front that go out in one write begin it: as many as fit in a write's
    // worth of bytes, and at least one; how many. They stay, whatever the budget needs, until
    // the write ends: their write takes several turns of the event loop, in which the budget may
    // drop. The queue must not be empty.
    std::size_t beginWrite();
    // The messages whose writes began go when they were written, and stay at the front when not.
    void endWrite(bool written);

    std::deque<SharedText> const &messages() const { return queue; }
    bool empty() const { return queue.empty(); }
    std::size_t size() const { return queue.size(); }
    bool isWriting() const { return inWrite != 0; }
    // The bytes of the texts queued, and what the queue is charged for them.
    std::size_t bytes() const { return queueBytes; }
    std::size_t cost() const { return account.cost(); }
    std::uint64_t dropped() const { return droppedTotal; }

private:
    void erase(std::deque<SharedText>::iterator message);
    void noteDropped();

    std::shared_ptr<APIQueueBudget> budget;
    boost::asio::ip::tcp::endpoint endpoint;
    APIQueueBudget::Account account{*this};
    std::deque<SharedText> queue;
    std::size_t queueBytes = 0;
    std::uint64_t droppedTotal = 0;
    std::size_t inWrite = 0;
};

} // namespace kelvarin::triggerTesting
