#include "status/StatusMessages.hpp"

#include "api/Utils.hpp"

namespace kelvarin::triggerTesting
{

std::string buildValidatorRegistration(std::string const &hostName)
{
    return "{\"type\":\"register\",\"data\":{\"is_validator\":true,\"name\":" +
           Utils::quoted(hostName) + "}}";
}

std::string buildValidateRequest(unsigned long unitId, EtherAddr const &mac)
{
    return "{\"type\":\"validate\",\"data\":{\"unit_id\":" + std::to_string(unitId) +
           ",\"mac\":\"" + mac.toString() + "\"}}";
}

} // namespace kelvarin::triggerTesting
