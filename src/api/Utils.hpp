#pragma once

#include <rapidjson/document.h>

#include <cstdint>
#include <string>

namespace kelvarin::triggerTesting::Utils
{

// Required members of a JSON object; a missing member or one of the wrong kind throws
// std::runtime_error "There is no valid \"<name>\"".
std::uint64_t getUint64Member(rapidjson::Value const &object, std::string const &name);
std::string getStringMember(rapidjson::Value const &object, std::string const &name);

// The text as a JSON string, quoted and escaped, for messages assembled by concatenation.
std::string quoted(std::string const &text);

// The error text for a member that is missing or of the wrong kind.
std::string missingMemberText(std::string const &name);

} // namespace kelvarin::triggerTesting::Utils
