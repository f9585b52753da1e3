#include "status/DisconnectionMessage.hpp"

#include "common/DecimalText.hpp"
#include "common/UtcText.hpp"

namespace kelvarin::triggerTesting
{

namespace
{

std::string reasonText(disconnection_reason reason)
{
    return reason == clean ? "clean" : "timeout";
}

} // namespace

std::string prepareDisconnectionMessage(unsigned long const &unitId, disconnection_reason reason,
                                        std::chrono::system_clock::time_point time)
{
    std::string message = "{\"type\":\"unit_disconnect\",\"reason\":\"";
    message.append(reasonText(reason)).append("\",\"dtime_utc\":\"");
    message.append(UtcText(time).view()).append("\",\"unit_id\":");
    message.append(DecimalText(unitId).view()).append("}");
    return message;
}

} // namespace kelvarin::triggerTesting
