#include "api/IsOnlineJson.hpp"

#include "api/JsonTriggerDocument.hpp"
#include "api/Utils.hpp"

#include <stdexcept>

namespace kelvarin::triggerTesting
{

IsOnlineJson::IsOnlineJson(std::string text)
{
    JsonTriggerDocument const message(text);
    if (message.type != "isOnline")
    {
        throw std::runtime_error("Bad request");
    }
    unitId = Utils::getUint64Member(*message.data, "unit_id");
}

} // namespace kelvarin::triggerTesting
