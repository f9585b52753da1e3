#include "sim/SimArguments.hpp"

#include "support/FailureText.hpp"

#include <gtest/gtest.h>
#include <stdexcept>
#include <string>
#include <vector>

namespace kelvarin::triggerTesting::sim
{
namespace
{

template <typename Parse> std::string failureOf(Parse parse, std::string const &text)
{
    return testSupport::failureOf<std::invalid_argument>([&] { parse(text); });
}

TEST(SimArgumentsTest, UnitListsExpandRangesInTheOrderWritten)
{
    EXPECT_EQ(parseUnitIds("101-103,7,200-200"),
              (std::vector<std::uint64_t>{101, 102, 103, 7, 200}));
    EXPECT_EQ(parseUnitIds("18446744073709551614-18446744073709551615"),
              (std::vector<std::uint64_t>{18446744073709551614ull, 18446744073709551615ull}));
}

TEST(SimArgumentsTest, UnitListMistakesNameTheInput)
{
    EXPECT_EQ(failureOf(parseUnitIds, ""), "bad unit id: \"\"");
    EXPECT_EQ(failureOf(parseUnitIds, "1,,2"), "bad unit id: \"\"");
    EXPECT_EQ(failureOf(parseUnitIds, "1-x"), "bad unit id: \"x\"");
    EXPECT_EQ(failureOf(parseUnitIds, "-5"), "bad unit id: \"\"");
    EXPECT_EQ(failureOf(parseUnitIds, "18446744073709551616"),
              "bad unit id: \"18446744073709551616\"");
    EXPECT_EQ(failureOf(parseUnitIds, "9-3"), "bad unit id range: \"9-3\"");
    EXPECT_EQ(failureOf(parseUnitIds, "1-3,2"), "unit id given twice: 2");
    EXPECT_EQ(failureOf(parseUnitIds, "1-100001"), "unit id list too long: \"1-100001\"");
}

TEST(SimArgumentsTest, MacAddressesInThreeSpellings)
{
    auto const expected = EtherAddr(EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
    EXPECT_EQ(parseMacAddress("001a2B3C4D5E"), expected);
    EXPECT_EQ(parseMacAddress("00:1a:2b:3c:4d:5e"), expected);
    EXPECT_EQ(parseMacAddress("00-1A-2B-3C-4D-5E"), expected);
    EXPECT_EQ(parseMacList("001A2B3C4D5E,02:00:00:00:00:01").size(), 2u);
}

TEST(SimArgumentsTest, MacMistakesNameTheInput)
{
    for (auto const *text :
         {"00:1a:2b-3c:4d:5e", "00.1a.2b.3c.4d.5e", "001A2B3C4D5", "00:1a:2b:3c:4d:5g", ""})
        EXPECT_EQ(failureOf(parseMacAddress, text),
                  "bad MAC address: \"" + std::string(text) + "\"");
    EXPECT_EQ(failureOf(parseMacList, "001A2B3C4D5E,"), "bad MAC address: \"\"");
}

TEST(SimArgumentsTest, EndpointsWithIPv4AndBracketedIPv6)
{
    auto const v4 = parseEndpoint("127.0.0.2:10002");
    EXPECT_EQ(v4.address().to_string(), "127.0.0.2");
    EXPECT_EQ(v4.port(), 10002);
    auto const v6 = parseEndpoint("[::1]:0");
    EXPECT_TRUE(v6.address().is_v6());
    EXPECT_EQ(v6.port(), 0);
    EXPECT_EQ(failureOf(parseEndpoint, "127.0.0.2"),
              "bad endpoint, expected address:port: \"127.0.0.2\"");
    EXPECT_EQ(failureOf(parseEndpoint, "localhost:80"),
              "bad endpoint, expected address:port: \"localhost:80\"");
    EXPECT_EQ(failureOf(parseEndpoint, "127.0.0.1:65536"),
              "bad endpoint, expected address:port: \"127.0.0.1:65536\"");
    EXPECT_EQ(failureOf(parseEndpoint, "127.0.0.1:"), "bad port in \"127.0.0.1:\": \"\"");
}

TEST(SimArgumentsTest, MisbehavioursWithAndWithoutARunCount)
{
    auto const [unit, drop] = parseMisbehaviour("104=drop");
    EXPECT_EQ(unit, 104u);
    EXPECT_EQ(drop.mode, Misbehaviour::Mode::drop);
    EXPECT_EQ(drop.after, 0u);
    EXPECT_EQ(parseMisbehaviour("7=silent:3").second.mode, Misbehaviour::Mode::silent);
    EXPECT_EQ(parseMisbehaviour("7=silent:3").second.after, 3u);
    EXPECT_EQ(parseMisbehaviour("7=malformed").second.mode, Misbehaviour::Mode::malformed);
    EXPECT_EQ(parseMisbehaviour("7=oversized:2").second.mode, Misbehaviour::Mode::oversized);
    EXPECT_EQ(failureOf(parseMisbehaviour, "7"),
              "bad misbehaviour, expected UNIT=MODE[:AFTER]: \"7\"");
    EXPECT_EQ(failureOf(parseMisbehaviour, "7=late"),
              "bad misbehaviour mode \"late\", expected drop, silent, malformed or oversized");
    EXPECT_EQ(failureOf(parseMisbehaviour, "7=drop:x"), "bad run count: \"x\"");
}

TEST(SimArgumentsTest, DefaultMacCarriesTheLow32BitsOfTheUnitId)
{
    EXPECT_EQ(defaultMacFor(101).toString(), "020000000065");
    EXPECT_EQ(defaultMacFor(0x1122334455667788ull).toString(), "020055667788");
}

} // namespace
} // namespace kelvarin::triggerTesting::sim
