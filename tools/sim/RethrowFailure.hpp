#pragma once

#include <exception>

namespace kelvarin::triggerTesting::sim
{

// The completion of the simulator's coroutines: whatever one lets escape leaves the event
// loop's run, so a broken simulator stops instead of going on half-dead.
inline void rethrowFailure(std::exception_ptr failure)
{
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace kelvarin::triggerTesting::sim
