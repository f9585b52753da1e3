#pragma once

#include <string>

namespace kelvarin::triggerTesting
{

// The first message on every request connection: the controller's name for the API server.
// The host name goes in as a JSON string, so a name with quotes or backslashes cannot break
// the message.
std::string buildRegistrationMessage(std::string const &hostName);

// The answer to an "isOnline" query.
std::string buildIsOnlineAnswer(unsigned long unitId, bool online);

} // namespace kelvarin::triggerTesting
