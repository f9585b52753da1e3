#pragma once

namespace kelvarin::triggerTesting
{

// Why a validated device's connection ended.
enum disconnection_reason : int
{
    clean = 0,
    timeout = 1,
};

} // namespace kelvarin::triggerTesting
