#pragma once

#include <cstdint>
#include <string>

namespace kelvarin::triggerTesting
{

// A request that could not be carried out.
struct Error
{
    enum Code : std::int32_t
    {
        UNREACHABLE = 0,
        UNKNOWN = 1,
    };

    Error(Code code, std::string message) : code(code), message(std::move(message)) {}

    Code code;
    std::string message;
};

} // namespace kelvarin::triggerTesting
