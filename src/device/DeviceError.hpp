#pragma once

#include <boost/system/error_code.hpp>

namespace kelvarin::triggerTesting
{

// Failures of a device connection that the controller decides itself, logged like those of the
// network beside them.
enum class DeviceError
{
    registrationTimeout = 1, // no register message in the time a device has for it
};

boost::system::error_category const &deviceErrorCategory();
boost::system::error_code make_error_code(DeviceError error);

} // namespace kelvarin::triggerTesting

template <>
struct boost::system::is_error_code_enum<kelvarin::triggerTesting::DeviceError> : std::true_type
{
};
