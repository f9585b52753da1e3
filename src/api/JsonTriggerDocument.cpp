#include "api/JsonTriggerDocument.hpp"

#include "api/Utils.hpp"
#include "common/NestingLimit.hpp"

#include <stdexcept>

namespace kelvarin::triggerTesting
{

JsonTriggerDocument::JsonTriggerDocument(std::string const &text)
{
    // Read as a C string: a NUL byte ends the message. A byte-order mark is a parse error here.
    rapidjson::StringStream stream(text.c_str());
    bool parsed = false;
    auto generate = [&](rapidjson::Document &handler)
    { return parsed = readJson(stream, handler); };
    document.Populate(generate);
    if (!parsed)
    {
        throw std::runtime_error("Invalid JSON");
    }
    if (!document.IsObject())
    {
        throw std::runtime_error("Invalid message");
    }
    type = Utils::getStringMember(document, "type");

    rapidjson::Value const &envelope = document;
    auto const member = envelope.FindMember("data");
    if (member == envelope.MemberEnd() || !member->value.IsObject())
    {
        throw std::runtime_error(Utils::missingMemberText("data"));
    }
    data = &member->value;
}

} // namespace kelvarin::triggerTesting
