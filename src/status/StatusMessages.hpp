#pragma once

#include "status/EtherAddr.hpp"

#include <string>

namespace kelvarin::triggerTesting
{

// The texts the controller sends the validator, besides the disconnection report.

// The first message on every validator connection. The host name goes in as a JSON string, so
// that a name with quotes or backslashes cannot break the message.
std::string buildValidatorRegistration(std::string const &hostName);

// Asks whether the device may be admitted.
std::string buildValidateRequest(unsigned long unitId, EtherAddr const &mac);

} // namespace kelvarin::triggerTesting
