#include "api/APISessionMessages.hpp"

#include "api/Utils.hpp"

namespace kelvarin::triggerTesting
{

std::string buildRegistrationMessage(std::string const &hostName)
{
    return "{\"type\":\"register\",\"data\":{\"name\":" + Utils::quoted(hostName) + "}}";
}

std::string buildIsOnlineAnswer(unsigned long unitId, bool online)
{
    return "{\"type\":\"isOnline\",\"data\":{\"unit_id\":" + std::to_string(unitId) +
           ",\"result\":" + (online ? "true" : "false") + "}}";
}

} // namespace kelvarin::triggerTesting
