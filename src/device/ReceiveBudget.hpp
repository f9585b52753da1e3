#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvarin::triggerTesting
{

// The bytes of device messages received but not yet complete, over all devices. Each device may
// send up to the largest message, and thousands of them at once would hold far more than the
// machine has; a device whose next bytes would take the total past the limit is given up.
class ReceiveBudget
{
public:
    // A limit of 0 bounds nothing.
    explicit ReceiveBudget(std::size_t limit = 0) : limit_(limit) {}

    void setLimit(std::size_t limit) { limit_ = limit; }

    // Takes the bytes when they fit; otherwise takes nothing, counts the refusal and returns
    // false.
    bool take(std::size_t bytes)
    {
        if (limit_ != 0 && bytes > limit_ - held_)
        {
            ++exhausted_;
            return false;
        }
        held_ += bytes;
        return true;
    }
    void give(std::size_t bytes) { held_ -= bytes; }

    std::size_t limit() const { return limit_; }
    std::size_t held() const { return held_; }
    // Refusals since the start: each ended one device.
    std::uint64_t exhausted() const { return exhausted_; }

private:
    std::size_t limit_;
    std::size_t held_ = 0;
    std::uint64_t exhausted_ = 0;
};

} // namespace kelvarin::triggerTesting
