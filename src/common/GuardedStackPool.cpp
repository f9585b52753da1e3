#include "common/GuardedStackPool.hpp"

#include <boost/context/protected_fixedsize_stack.hpp>

#include <sanitizer/asan_interface.h>
#include <utility>
#include <vector>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr std::size_t keptStacks = 16;

// Stacks kept for reuse, each with the size it was asked for; one pool per thread.
std::vector<std::pair<std::size_t, boost::context::stack_context>> &keptStacksOfThisThread()
{
    thread_local std::vector<std::pair<std::size_t, boost::context::stack_context>> kept;
    return kept;
}

} // namespace

boost::context::stack_context GuardedStackPool::allocate()
{
    auto &kept = keptStacksOfThisThread();
    for (auto entry = kept.rbegin(); entry != kept.rend(); ++entry)
    {
        if (entry->first != size)
            continue;
        auto const stack = entry->second;
        kept.erase(std::next(entry).base());
        return stack;
    }
    return boost::context::protected_fixedsize_stack(size).allocate();
}

void GuardedStackPool::deallocate(boost::context::stack_context &stack)
{
    auto &kept = keptStacksOfThisThread();
    if (kept.size() < keptStacks)
    {
        // A coroutine destroyed while suspended leaves the marks of its frames on the stack;
        // under AddressSanitizer the next coroutine on it would trip over them.
        ASAN_UNPOISON_MEMORY_REGION(static_cast<char *>(stack.sp) - stack.size, stack.size);
        kept.emplace_back(size, stack);
        return;
    }
    boost::context::protected_fixedsize_stack(size).deallocate(stack);
}

} // namespace kelvarin::triggerTesting
