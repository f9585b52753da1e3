#pragma once

#include "api/Reply.hpp"
#include "api/TestMetadata.hpp"

#include <string>

namespace kelvarin::triggerTesting
{

// The result message sent to every API server for a reply. Throws std::runtime_error
// "Invalid JSON" when a result text is not a JSON object.
std::string buildResultMessage(Reply const &reply, TestMetadata const &metadata);

} // namespace kelvarin::triggerTesting
