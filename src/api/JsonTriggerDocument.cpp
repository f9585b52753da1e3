#include "api/JsonTriggerDocument.hpp"

#include "api/Utils.hpp"

#include <stdexcept>

namespace kelvarin::triggerTesting
{

JsonTriggerDocument::JsonTriggerDocument(std::string const &text)
{
    // Read as a C string: a NUL byte ends the message. A byte-order mark is a parse error here.
    if (document.Parse(text.c_str()).HasParseError())
    {
        throw std::runtime_error("Invalid JSON");
    }
    if (!document.IsObject())
    {
        throw std::runtime_error("Invalid message");
    }
    type = Utils::getStringMember(document, "type");

    rapidjson::Value const& envelope = document;
    auto const member = envelope.FindMember("data");
    if (member == envelope.MemberEnd() || !member->value.IsObject())
    {
        throw std::runtime_error(Utils::missingMemberText("data"));
    }
    data = &member->value;
}

} // namespace kelvarin::triggerTesting
