#include "status/EtherAddr.hpp"

#include "status/ValidateMessage.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

constexpr char const *invalidFormat = "Tried to create an EtherAddr from an invalid format";

void expectInvalid(std::string const &text)
{
    try
    {
        EtherAddr{text};
        ADD_FAILURE() << "accepted \"" << text << "\"";
    }
    catch (std::runtime_error const &error)
    {
        EXPECT_STREQ(error.what(), invalidFormat) << "for \"" << text << "\"";
    }
}

TEST(EtherAddrTest, PrintsTwelveUpperCaseDigitsWithLeadingZeros)
{
    EXPECT_EQ(EtherAddr(EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}).toString(),
              "001A2B3C4D5E");
    EXPECT_EQ(EtherAddr(EtherAddr::Octets{0xff, 0x01, 0x00, 0x0a, 0xa0, 0x80}).toString(),
              "FF01000AA080");
    EXPECT_EQ(EtherAddr{}.toString(), "000000000000");
}

TEST(EtherAddrTest, ParsesAnyLetterCaseIntoOctetsInWrittenOrder)
{
    EtherAddr const mixed{std::string("001a2b3C4D5E")};
    EXPECT_EQ(mixed.bytes, (EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
    EXPECT_EQ(mixed.toString(), "001A2B3C4D5E");
    EXPECT_EQ(EtherAddr{std::string("abcdefABCDEF")}.toString(), "ABCDEFABCDEF");
    EXPECT_EQ(EtherAddr{std::string("0123456789fF")}.toString(), "0123456789FF");
}

TEST(EtherAddrTest, RoundTripsThroughItsText)
{
    for (EtherAddr::Octets octets : {EtherAddr::Octets{0, 0, 0, 0, 0, 0},
                                     EtherAddr::Octets{0xff, 0xff, 0xff, 0xff, 0xff, 0xff},
                                     EtherAddr::Octets{0x7f, 0x80, 0x09, 0x90, 0xa5, 0x5a}})
    {
        EtherAddr const address{octets};
        EXPECT_EQ(EtherAddr{address.toString()}, address);
    }
}

TEST(EtherAddrTest, RejectsWrongLengthsSeparatorsAndNonHexDigits)
{
    expectInvalid("");
    expectInvalid("001A2B3C4D5");
    expectInvalid("001A2B3C4D5E0");
    expectInvalid("00:1A:2B:3C:4D:5E");
    expectInvalid("001A2B3C4D5G");
    expectInvalid("G01A2B3C4D5E");
    expectInvalid("001A2B 3C4D5");
    expectInvalid(std::string("001A2B\0C4D5E", 12));
}

TEST(EtherAddrTest, EqualityComparesAllOctets)
{
    EtherAddr const a{EtherAddr::Octets{1, 2, 3, 4, 5, 6}};
    EXPECT_TRUE(a == EtherAddr(EtherAddr::Octets{1, 2, 3, 4, 5, 6}));
    EXPECT_FALSE(a == EtherAddr(EtherAddr::Octets{1, 2, 3, 4, 5, 7}));
    EXPECT_FALSE(a == EtherAddr(EtherAddr::Octets{0, 2, 3, 4, 5, 6}));
}

ValidateMessage::IdType key(std::uint64_t unitId, EtherAddr::Octets octets)
{
    return {unitId, EtherAddr{octets}};
}

TEST(ValidateMessageKeyTest, UnitIdDecidesBeforeTheAddress)
{
    auto const lowUnit = key(1, {0xff, 0, 0, 0, 0, 0});
    auto const highUnit = key(2, {0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(lowUnit < highUnit);
    EXPECT_FALSE(highUnit < lowUnit);
    EXPECT_TRUE(key(0x7fffffffffffffff, {}) < key(0x8000000000000000, {}));
}

TEST(ValidateMessageKeyTest, FirstDifferingOctetDecidesAsUnsigned)
{
    EXPECT_TRUE(key(5, {0x00, 0xff, 0, 0, 0, 0}) < key(5, {0x01, 0x00, 0, 0, 0, 0}));
    EXPECT_TRUE(key(5, {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff}) < key(5, {0x80, 0, 0, 0, 0, 0}));
    EXPECT_FALSE(key(5, {0x80, 0, 0, 0, 0, 0}) < key(5, {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_TRUE(key(5, {1, 2, 3, 4, 5, 6}) < key(5, {1, 2, 3, 4, 5, 7}));
}

TEST(ValidateMessageKeyTest, EqualKeysAreNotLower)
{
    auto const a = key(9, {1, 2, 3, 4, 5, 6});
    EXPECT_FALSE(a < a);
    EXPECT_FALSE(a < key(9, {1, 2, 3, 4, 5, 6}));
}

} // namespace
} // namespace kelvarin::triggerTesting
