#include "status/ValidateAnswer.hpp"

#include "api/JsonTriggerDocument.hpp"
#include "api/Utils.hpp"

#include <stdexcept>

namespace kelvarin::triggerTesting
{

bool ValidateAnswer::requireResult() const
{
    if (!result)
        throw std::runtime_error(Utils::missingMemberText("result"));
    return *result;
}

ValidateAnswer parseValidateAnswer(std::string const &text)
{
    JsonTriggerDocument const message(text);
    if (message.type != "validate")
        throw std::runtime_error("Invalid Validate message");
    ValidateAnswer answer;
    answer.key.unitId = Utils::getUint64Member(*message.data, "unit_id");
    answer.key.mac = EtherAddr(Utils::getStringMember(*message.data, "mac"));
    // A string or a number does not count as a verdict, whatever it holds.
    auto const result = message.data->FindMember("result");
    if (result != message.data->MemberEnd() && result->value.IsBool())
        answer.result = result->value.GetBool();
    return answer;
}

} // namespace kelvarin::triggerTesting
