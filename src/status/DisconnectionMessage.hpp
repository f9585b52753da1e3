#pragma once

#include "status/DisconnectionReason.hpp"

#include <chrono>
#include <string>

namespace kelvarin::triggerTesting
{

// The "unit_disconnect" report for the validator; the time is written in UTC, whole seconds.
std::string prepareDisconnectionMessage(unsigned long const &unitId, disconnection_reason reason,
                                        std::chrono::system_clock::time_point time);

} // namespace kelvarin::triggerTesting
