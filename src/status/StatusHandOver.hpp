#pragma once

#include "status/ValidateMessage.hpp"

#include <string>
#include <vector>

namespace kelvarin::triggerTesting
{

// What the validator connection owes when the controller reloads. The connection itself is not
// handed over: the next program connects anew, registers, and sends these.
struct StatusHandOver
{
    struct Validation
    {
        ValidateMessage::IdType key;
        // The objects waiting for the answer (a device connection each), to be named by the
        // caller; askers that are gone, or that are not objects, are not among them.
        std::vector<void const *> askers;
    };

    std::vector<std::string> reports; // oldest first
    std::vector<Validation> validations;
};

} // namespace kelvarin::triggerTesting
