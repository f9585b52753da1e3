#include "status/EtherAddr.hpp"

#include <cstdio>
#include <stdexcept>

namespace kelvarin::triggerTesting
{

namespace
{

constexpr char const *invalidFormat = "Tried to create an EtherAddr from an invalid format";
constexpr std::size_t textLength = 12;

std::uint8_t hexToUint8(char const &digit)
{
    if (digit >= '0' && digit <= '9')
        return static_cast<std::uint8_t>(digit - '0');
    if (digit >= 'a' && digit <= 'f')
        return static_cast<std::uint8_t>(digit - 'a' + 10);
    if (digit >= 'A' && digit <= 'F')
        return static_cast<std::uint8_t>(digit - 'A' + 10);
    throw std::runtime_error(invalidFormat);
}

} // namespace

EtherAddr::EtherAddr(std::string const &text)
{
    if (text.size() != textLength)
        throw std::runtime_error(invalidFormat);
    Octets parsed{};
    for (std::size_t i = 0; i < parsed.size(); ++i)
        parsed[i] =
            static_cast<std::uint8_t>(16 * hexToUint8(text[2 * i]) + hexToUint8(text[2 * i + 1]));
    bytes = parsed;
}

std::string EtherAddr::toString() const
{
    // Without the C library's formatted output: a listing writes thousands in one go.
    constexpr char digits[] = "0123456789ABCDEF";
    std::string text(textLength, '0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
    {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}

bool operator==(EtherAddr const &a, EtherAddr const &b)
{
    return a.bytes == b.bytes;
}

} // namespace kelvarin::triggerTesting
