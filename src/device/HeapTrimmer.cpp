#include "device/HeapTrimmer.hpp"

#include <algorithm>
#include <malloc.h>
#include <utility>

namespace kelvarin::triggerTesting
{

HeapTrimmer::HeapTrimmer() : HeapTrimmer([] { ::malloc_trim(0); }) {}

HeapTrimmer::HeapTrimmer(TrimFn trim) : trim(std::move(trim)) {}

bool HeapTrimmer::halved(std::size_t count)
{
    peak = std::max(peak, count);
    if (peak == 0 || count > peak / 2)
        return false;
    peak = count;
    return true;
}

} // namespace kelvarin::triggerTesting
