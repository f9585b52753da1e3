#pragma once

#include "status/EtherAddr.hpp"

#include <cstdint>

namespace kelvarin::triggerTesting
{

struct ValidateMessage
{
    // The key of one validation: what the device reported about itself.
    struct IdType
    {
        std::uint64_t unitId = 0;
        EtherAddr mac;
    };
};

// Unit id first, then the MAC octets as unsigned bytes, index 0 first.
bool operator<(ValidateMessage::IdType a, ValidateMessage::IdType b);

} // namespace kelvarin::triggerTesting
