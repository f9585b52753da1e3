#pragma once

#include "common/Coroutine.hpp"

#include <boost/asio/io_context.hpp>
#include <boost/asio/strand.hpp>

#include <exception>
#include <utility>

// Runs the call inside a coroutine with the stack the service's coroutines have, guard page
// included, so that whatever would overflow there overflows here too.
template <typename Call> void onServiceStack(Call &&call)
{
    static boost::asio::io_context io;
    std::exception_ptr failure;
    kelvarin::triggerTesting::spawnCoroutine(boost::asio::make_strand(io),
                                             [&](boost::asio::yield_context)
                                             {
                                                 try
                                                 {
                                                     std::forward<Call>(call)();
                                                 }
                                                 catch (...)
                                                 {
                                                     failure = std::current_exception();
                                                 }
                                             });
    io.restart();
    io.run();
    if (failure)
        std::rethrow_exception(failure);
}
