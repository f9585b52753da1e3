#pragma once

#include <boost/system/error_code.hpp>
#include <boost/system/system_error.hpp>

#include <new>
#include <stdexcept>
#include <system_error>

namespace kelvarin::triggerTesting
{

// Runs a call that reports failures as an error code but whose library may still throw (a host
// name too long for a request, memory, a descriptor limit), and gives its exception as an error
// code too: a failure of one connection is that connection's, never the process's.
template <class Call> boost::system::error_code withoutThrowing(Call &&call)
{
    try
    {
        return call();
    }
    catch (std::bad_alloc const &)
    {
        return make_error_code(boost::system::errc::not_enough_memory);
    }
    catch (boost::system::system_error const &e)
    {
        return e.code();
    }
    catch (std::system_error const &e)
    {
        return {e.code().value(), boost::system::system_category()};
    }
    catch (std::exception const &)
    {
        return make_error_code(boost::system::errc::invalid_argument);
    }
}

} // namespace kelvarin::triggerTesting
