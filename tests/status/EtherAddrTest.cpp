#include "status/EtherAddr.hpp"

#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::failureOf;

TEST(EtherAddrTest, TwelveUpperCaseDigitsWithLeadingZerosBothWays)
{
    EXPECT_EQ(EtherAddr(EtherAddr::Octets{0xff, 0x01, 0x00, 0x0a, 0xa0, 0x80}).toString(),
              "FF01000AA080");
    EXPECT_EQ(EtherAddr{}.toString(), "000000000000");
    EtherAddr const mixed{std::string("001a2b3C4D5E")};
    EXPECT_EQ(mixed.bytes, (EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
    EXPECT_EQ(EtherAddr{std::string("abcdefABCDEF")}.toString(), "ABCDEFABCDEF");
    EXPECT_FALSE(mixed == EtherAddr(EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5f}));
}

TEST(EtherAddrTest, RejectsWrongLengthsSeparatorsAndNonHexDigits)
{
    using namespace std::string_literals;
    for (std::string const &text :
         {""s, "001A2B3C4D5"s, "001A2B3C4D5E0"s, "00:1A:2B:3C:4D:5E"s, "001A2B3C4D5G"s,
          "G01A2B3C4D5E"s, "001A2B 3C4D5"s, "001A2B\0C4D5E"s})
        EXPECT_EQ(failureOf<std::runtime_error>([&] { EtherAddr{text}; }),
                  "Tried to create an EtherAddr from an invalid format")
            << text;
}

} // namespace
} // namespace kelvarin::triggerTesting
