// MAC texts from the validator: accepted texts print back as the same address.
#include "status/EtherAddr.hpp"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

using namespace kelvarin::triggerTesting;

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    std::string const text(reinterpret_cast<char const *>(data), size);
    try
    {
        EtherAddr const mac(text);
        auto const printed = mac.toString();
        if (printed.size() != 12 || !(EtherAddr(printed) == mac))
            std::abort();
    }
    catch (std::runtime_error const &)
    {
    }
    return 0;
}
