#pragma once

// The helpers under their former names, while suites still use them.
#include "support/ClogCapture.hpp"
#include "support/DescriptorExhaustion.hpp"
#include "support/Helpers.hpp"

namespace kelvarin::triggerTesting::apiTest
{
using namespace testSupport;
} // namespace kelvarin::triggerTesting::apiTest
