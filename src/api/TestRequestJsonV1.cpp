#include "api/TestRequestJsonV1.hpp"

#include "api/JsonTriggerDocument.hpp"
#include "api/Utils.hpp"

#include <boost/uuid/string_generator.hpp>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <stdexcept>

namespace kelvarin::triggerTesting
{

namespace
{

std::string writeCompact(rapidjson::Value const &value)
{
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    return std::string(buffer.GetString(), buffer.GetSize());
}

} // namespace

TestRequestJsonV1::TestRequestJsonV1(std::string text)
{
    JsonTriggerDocument const message(text);
    if (message.type != "execute")
    {
        throw std::runtime_error("Bad request");
    }
    auto const &fields = *message.data;
    // The device gets the whole object, identifying members and any others alike.
    data = writeCompact(fields);
    metadata.testId = boost::uuids::string_generator()(Utils::getStringMember(fields, "test_id"));
    metadata.unitId = Utils::getUint64Member(fields, "unit_id");
    metadata.task = Utils::getStringMember(fields, "task");
    metadata.actionId = Utils::getUint64Member(fields, "action_id");
}

} // namespace kelvarin::triggerTesting
