// The state a reloading program reads back: a damaged file must be refused, never crash it.
#include "app/reload/ReloadState.hpp"

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    try
    {
        auto const state = kelvarin::triggerTesting::decodeReloadState(
            std::string(reinterpret_cast<char const *>(data), size));
        // What was read is written and read again alike.
        auto const again = kelvarin::triggerTesting::decodeReloadState(
            kelvarin::triggerTesting::encodeReloadState(state));
        if (again.devices.size() != state.devices.size() ||
            again.configuration != state.configuration)
            __builtin_trap();
    }
    catch (std::runtime_error const &)
    {
    }
    return 0;
}
