#pragma once

#include <cstddef>
#include <functional>

namespace kelvarin::triggerTesting
{

// Hands freed heap memory back to the system once the fleet has shrunk. The allocator keeps
// what departed devices used, so without this a controller would go on holding the memory of
// the largest fleet it ever saw. Trimming when the count has halved since its peak keeps the
// cost to a trim per halving, however the devices come and go.
class HeapTrimmer
{
public:
    using TrimFn = std::function<void()>;

    HeapTrimmer();
    explicit HeapTrimmer(TrimFn trim);

    // The number of devices now held; called whenever it changes. True when it trimmed: the
    // caller may let go of what it keeps for a fleet of the peak's size as well.
    bool noteCount(std::size_t count);

private:
    TrimFn trim;
    std::size_t peak = 0;
};

} // namespace kelvarin::triggerTesting
