#pragma once

#include <boost/context/stack_context.hpp>

#include <cstddef>

namespace kelvarin::triggerTesting
{

// Coroutine stacks that end in a guard page, kept for the next coroutine when one ends. A
// writer coroutine starts for every burst of messages; a fresh stack each time would cost the
// mapping, the guard page and the page faults of untouched memory every time. At most a few
// stacks are kept; the rest go back to the system. Used on the event loop's thread only.
class GuardedStackPool
{
public:
    explicit GuardedStackPool(std::size_t size) : size(size) {}

    boost::context::stack_context allocate();
    void deallocate(boost::context::stack_context &stack);

private:
    std::size_t size;
};

} // namespace kelvarin::triggerTesting
