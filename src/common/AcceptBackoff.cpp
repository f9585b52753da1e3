#include "common/AcceptBackoff.hpp"

#include <boost/system/errc.hpp>

#include <algorithm>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr std::chrono::milliseconds firstPause{5};
constexpr std::chrono::milliseconds longestPause{1000};

} // namespace

bool AcceptBackoff::isOutOfResources(boost::system::error_code const &ec)
{
    using boost::system::errc::errc_t;
    return ec == errc_t::too_many_files_open || ec == errc_t::too_many_files_open_in_system ||
           ec == errc_t::no_buffer_space || ec == errc_t::not_enough_memory;
}

void AcceptBackoff::lengthen()
{
    pause =
        pause == std::chrono::milliseconds::zero() ? firstPause : std::min(pause * 2, longestPause);
}

} // namespace kelvarin::triggerTesting
