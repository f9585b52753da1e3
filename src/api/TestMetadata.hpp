#pragma once

#include "common/HeldText.hpp"

#include <boost/uuid/uuid.hpp>

#include <cstdint>
#include <string>

namespace kelvarin::triggerTesting
{

// The identifying fields of a test request, repeated in every result message.
struct TestMetadata
{
    boost::uuids::uuid testId{};
    std::uint64_t unitId = 0;
    HeldText task;
    std::uint64_t actionId = 0;
};

} // namespace kelvarin::triggerTesting
