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

    // The number of devices now held; called whenever it changes. When the count has halved,
    // `letGo` first frees what the caller keeps for a fleet of the peak's size, so that the
    // trim finds it free.
    template <class LetGo> void noteCount(std::size_t count, LetGo letGo)
    {
        if (!halved(count))
            return;
        letGo();
        trim();
    }

private:
    // Whether the count has halved since the peak; it is then the new peak.
    bool halved(std::size_t count);

    TrimFn trim;
    std::size_t peak = 0;
};

} // namespace kelvarin::triggerTesting
