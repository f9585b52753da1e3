#pragma once

#include <cstdint>
#include <string>

namespace kelvarin::triggerTesting
{

// An "isOnline" query.
class IsOnlineJson
{
public:
    explicit IsOnlineJson(std::string text);

    std::uint64_t unitId = 0;
};

} // namespace kelvarin::triggerTesting
