#pragma once

#include <stdexcept>

namespace kelvarin::triggerTesting
{

// A test request names a unit without a validated connection. Private base: only code that
// expects this very case catches it.
class ProbeNotFoundException : private std::runtime_error
{
public:
    ProbeNotFoundException() : std::runtime_error("Probe not found") {}

    using std::runtime_error::what;
};

} // namespace kelvarin::triggerTesting
