#pragma once

#include "status/ValidateMessage.hpp"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>

namespace kelvarin::triggerTesting
{

class ValidateRequestsManager;

// The validation requests waiting to be written to the validator, as their keys, in asking
// order. Requests whose askers have all gone (devices that gave up waiting) would only be written
// to a validator that is not reading them, and a second request for a key still queued adds
// nothing: one answer answers every asker of the key. Both are swept out as the queue grows and
// skipped when taken. At most `limit` requests wait; beyond, a request is dropped with a log
// line. A dropped request is still pending, and asked again after the next registration.
class ValidationQueue
{
public:
    static constexpr std::size_t limit = 100000;

    // Whether a key is still awaited is the table's to say.
    explicit ValidationQueue(ValidateRequestsManager const &requests) : requests(requests) {}
    ValidationQueue(ValidationQueue const &) = delete;
    ValidationQueue &operator=(ValidationQueue const &) = delete;

    // False when the queue was full and the request dropped.
    bool push(ValidateMessage::IdType key);
    // The oldest request someone still waits for; those before it go.
    std::optional<ValidateMessage::IdType> take();
    void clear() { keys.clear(); }

    bool empty() const { return keys.empty(); }
    std::size_t size() const { return keys.size(); }
    // Requests dropped at the limit since the start.
    std::uint64_t dropped() const { return droppedTotal; }

private:
    void sweep();

    ValidateRequestsManager const &requests;
    std::deque<ValidateMessage::IdType> keys;
    // Bookkeeping of the sweeps.
    std::size_t sizeAfterSweep = 0;
    std::size_t pushesSinceSweep = 0;
    std::uint64_t droppedTotal = 0;
};

} // namespace kelvarin::triggerTesting
