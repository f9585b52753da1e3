#pragma once

#include <exception>
#include <string>
#include <utility>

namespace kelvarin::triggerTesting::testSupport
{

// The text of what the call threw, or "(accepted)" when it returned, so that a test compares an
// error text exactly in one expectation. Only Exception is caught: anything else thrown still
// fails the test.
template <typename Exception = std::exception, typename Call> std::string failureOf(Call &&call)
{
    try
    {
        std::forward<Call>(call)();
    }
    catch (Exception const &error)
    {
        return error.what();
    }
    return "(accepted)";
}

} // namespace kelvarin::triggerTesting::testSupport
