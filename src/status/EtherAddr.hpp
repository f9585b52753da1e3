#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kelvarin::triggerTesting
{

// A device's MAC address, printed as 12 upper-case hexadecimal digits.
class EtherAddr
{
public:
    using Octets = std::array<std::uint8_t, 6>;

    EtherAddr() = default;
    explicit EtherAddr(Octets const &octets) : bytes(octets) {}
    // From exactly 12 hexadecimal digits of any case; anything else throws std::runtime_error
    // "Tried to create an EtherAddr from an invalid format".
    explicit EtherAddr(std::string const &text);

    std::string toString() const;

    Octets bytes{};
};

bool operator==(EtherAddr const &a, EtherAddr const &b);

} // namespace kelvarin::triggerTesting
