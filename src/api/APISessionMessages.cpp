#include "api/APISessionMessages.hpp"

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace kelvarin::triggerTesting
{

namespace
{

std::string jsonString(std::string const& text)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.data(), static_cast<rapidjson::SizeType>(text.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

std::string buildRegistrationMessage(std::string const& hostName)
{
    return "{\"type\":\"register\",\"data\":{\"name\":" + jsonString(hostName) + "}}";
}

std::string buildIsOnlineAnswer(unsigned long unitId, bool online)
{
    return "{\"type\":\"isOnline\",\"data\":{\"unit_id\":" + std::to_string(unitId) +
           ",\"result\":" + (online ? "true" : "false") + "}}";
}

} // namespace kelvarin::triggerTesting
