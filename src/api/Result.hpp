#pragma once

#include <string>

namespace kelvarin::triggerTesting
{

// A result a device sent for a request: a JSON object text.
struct Result
{
    Result(std::string text, bool isLast) : text(std::move(text)), isLast(isLast) {}

    std::string text;
    bool isLast;
};

} // namespace kelvarin::triggerTesting
