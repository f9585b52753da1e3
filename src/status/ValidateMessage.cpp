#include "status/ValidateMessage.hpp"

#include <cstring>

namespace kelvarin::triggerTesting
{

bool operator<(ValidateMessage::IdType a, ValidateMessage::IdType b)
{
    if (a.unitId != b.unitId)
        return a.unitId < b.unitId;
    return std::memcmp(a.mac.bytes.data(), b.mac.bytes.data(), a.mac.bytes.size()) < 0;
}

} // namespace kelvarin::triggerTesting
