#pragma once

#include "status/ValidateMessage.hpp"

#include <optional>
#include <string>

namespace kelvarin::triggerTesting
{

// The validator's answer to one validation, read from its "validate" message.
struct ValidateAnswer
{
    // The validation the answer is for.
    ValidateMessage::IdType key;
    // Empty when "result" is missing or not a JSON boolean. Such an answer still names its
    // validation, and settles it all the same: the pending entry is taken before the verdict is
    // looked at, so the key is known even where the verdict is not.
    std::optional<bool> result;

    // The verdict; throws std::runtime_error "There is no valid \"result\"" when there is none.
    bool requireResult() const;
};

// Reads a "validate" message from the validator. Throws std::runtime_error with the envelope's
// error texts, "Invalid Validate message" for any other type, the missing-member text for
// "unit_id" or "mac", and the EtherAddr error for a MAC that is not 12 hexadecimal digits.
ValidateAnswer parseValidateAnswer(std::string const &text);

} // namespace kelvarin::triggerTesting
