#pragma once

#include "common/GuardedStackPool.hpp"

// The coroutine header uses the error codes without including them.
#include <boost/asio/error.hpp>
#include <boost/asio/spawn.hpp>

#include <cstddef>
#include <exception>
#include <memory>
#include <utility>

namespace kelvarin::triggerTesting
{

// Room for the deepest work a coroutine of the service does: nothing it runs recurses with the
// size of its input. The stack ends in a guard page, so an overflow ends the process at once
// instead of overwriting the heap.
inline constexpr std::size_t coroutineStackSize = 256 * 1024;

// Anything a coroutine lets escape leaves the event loop, and ends the service.
inline void rethrowFailure(std::exception_ptr failure)
{
    if (failure)
        std::rethrow_exception(failure);
}

// Starts a stackful coroutine on the executor (a strand of the event loop).
template <typename Executor, typename Function>
void spawnCoroutine(Executor const &executor, Function &&function)
{
    boost::asio::spawn(executor, std::allocator_arg, GuardedStackPool(coroutineStackSize),
                       std::forward<Function>(function), rethrowFailure);
}

} // namespace kelvarin::triggerTesting
