#pragma once

#include "device/DeviceConnectionView.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace kelvarin::triggerTesting
{

// A unit id as operators write it: an unsigned 64-bit decimal number, digits only.
std::optional<unsigned long> parseUnitId(std::string_view text);

// The parameters of a device listing (state=<validating|admitted|refused>, after=<unit id>,
// limit=<1 to 1000>, each at most once, all optional), or why they are refused, as the error
// message of the answer.
std::variant<DevicePageQuery, std::string> parseDevicePageQuery(std::string_view query);

} // namespace kelvarin::triggerTesting
