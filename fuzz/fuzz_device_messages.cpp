// Device messages: whatever bytes a device sends, decoding either yields the fields the bytes
// hold or fails with a protocol error.
#include "device/DeviceProtocol.hpp"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

using namespace kelvarin::triggerTesting;

namespace
{

void checkRegister(std::string const &message)
{
    try
    {
        auto const decoded = decodeRegisterMessage(message);
        if (message.size() != 19 || message[4] != 1 ||
            std::memcmp(decoded.mac.bytes.data(), message.data() + 13, 6) != 0)
            std::abort();
    }
    catch (std::runtime_error const &)
    {
    }
}

void checkResult(std::string const &message)
{
    try
    {
        auto const decoded = decodeResultMessage(message);
        if (message.size() < 27 || decoded.text != message.substr(26) ||
            decoded.isLast != ((message[21] & 1) != 0))
            std::abort();
        // A run message for the same id carries the text back unchanged.
        auto const run = encodeRunMessage(decoded.requestId, decoded.text);
        if (run.size() != 25 + decoded.text.size() ||
            run.compare(25, std::string::npos, decoded.text) != 0)
            std::abort();
    }
    catch (std::runtime_error const &)
    {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(std::uint8_t const *data, std::size_t size)
{
    std::string const message(reinterpret_cast<char const *>(data), size);
    checkRegister(message);
    checkResult(message);
    return 0;
}
