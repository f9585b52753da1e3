#include "device/DeviceProtocol.hpp"

#include "support/Helpers.hpp"

#include <boost/uuid/string_generator.hpp>

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using namespace std::string_literals;

std::string bytes(std::initializer_list<unsigned> values)
{
    std::string out;
    for (unsigned value : values)
        out.push_back(static_cast<char>(value));
    return out;
}

// Type 1, unit id 256, MAC 00 1a 2b 3c 4d 5e, after any four bytes of magic.
std::string registration(std::string magic = bytes({0, 0, 0, 0}))
{
    return magic + bytes({1, 0, 0, 0, 0, 0, 0, 1, 0, 0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
}

auto const requestId = boost::uuids::string_generator{}("0123abcd-4567-89ef-fedc-ba9876543210");
std::string const requestIdBytes = bytes({0x01, 0x23, 0xab, 0xcd, 0x45, 0x67, 0x89, 0xef, 0xfe,
                                          0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10});

std::string result(unsigned flags, std::string const &text)
{
    return bytes({0xde, 0xad, 0xbe, 0xef, 2}) + requestIdBytes + bytes({flags, 9, 9, 9, 9}) + text;
}

template <typename Decode> std::string failureOf(Decode decode, std::string const &message)
{
    return testSupport::failureOf<std::runtime_error>([&] { decode(message); });
}

TEST(RegisterMessageTest, DecodesBigEndianUnitIdAndMacInOrderWhateverTheMagic)
{
    for (auto const &magic : {bytes({0, 0, 0, 0}), std::string(deviceMagic), "abcd"s})
    {
        auto const decoded = decodeRegisterMessage(registration(magic));
        EXPECT_EQ(decoded.unitId, 256u);
        EXPECT_EQ(decoded.mac.toString(), "001A2B3C4D5E");
    }
    auto const largest =
        bytes({0, 0, 0, 0, 1, 0xff, 0xfe, 0xfd, 0xfc, 0xfb, 0xfa, 0xf9, 0xf8, 6, 5, 4, 3, 2, 1});
    EXPECT_EQ(decodeRegisterMessage(largest).unitId, 0xfffefdfcfbfaf9f8u);
    EXPECT_EQ(decodeRegisterMessage(largest).mac.toString(), "060504030201");
}

TEST(RegisterMessageTest, RefusalsNameTheSignedTypeBeforeTheSize)
{
    auto typed = [](unsigned type, std::size_t size)
    {
        auto message = registration();
        message[4] = static_cast<char>(type);
        message.resize(size, '\0');
        return message;
    };
    std::pair<std::string, std::string> const cases[] = {
        {typed(2, 20), "Bad validate - wrong message type: [2] not matching [1]"},
        {typed(0xff, 19), "Bad validate - wrong message type: [-1] not matching [1]"},
        {typed(0x80, 5), "Bad validate - wrong message type: [-128] not matching [1]"},
        {typed(1, 20), "Bad validate - wrong size: [20] not matching [19]"},
        {typed(1, 5), "Bad validate - wrong size: [5] not matching [19]"},
        {"", "Bad validate - message too short: [0] bytes"},
        {bytes({0, 0, 0, 1}), "Bad validate - message too short: [4] bytes"},
    };
    for (auto const &[message, error] : cases)
        EXPECT_EQ(failureOf(decodeRegisterMessage, message), error) << message.size();
}

TEST(ResultMessageTest, DecodesRequestIdBitZeroOfTheFlagsAndBinaryText)
{
    auto const text = "{\"a\":1}\0\0tail"s;
    auto const decoded = decodeResultMessage(result(0x03, text));
    EXPECT_EQ(decoded.requestId, requestId);
    EXPECT_TRUE(decoded.isLast);
    EXPECT_EQ(decoded.text, text);
    EXPECT_FALSE(decodeResultMessage(result(0x02, "x")).isLast);
    EXPECT_TRUE(decodeResultMessage(result(0x01, "x")).isLast);
    EXPECT_EQ(decodeResultMessage(result(0, "\0"s)).text, "\0"s); // 27 bytes, the fewest
}

TEST(ResultMessageTest, NeedsTypeTwoAndAtLeastOneTextByte)
{
    auto wrongType = result(0, "text");
    wrongType[4] = '\x01';
    for (auto const &message : {result(0, ""), wrongType, ""s, bytes({0, 0, 0, 0})})
        EXPECT_EQ(failureOf(decodeResultMessage, message), "Bad results") << message.size();
}

TEST(ControllerMessagesTest, MagicTypeAndBodyByteForByte)
{
    auto const magic = bytes({0x46, 0x9b, 0x34, 0xa5});
    EXPECT_EQ(encodeValidationAnswer(true), magic + bytes({0x01, 0x01}));
    EXPECT_EQ(encodeValidationAnswer(false), magic + bytes({0x01, 0x00}));

    auto const header = magic + bytes({0x02}) + requestIdBytes;
    EXPECT_EQ(encodeRunMessage(requestId, ""), header + bytes({0, 0, 0, 0}));
    EXPECT_EQ(encodeRunMessage(requestId, "abc"), header + bytes({0, 0, 0, 3, 0x61, 0x62, 0x63}));
    auto const data = std::string(0x10203, '\0') + "end";
    EXPECT_EQ(encodeRunMessage(requestId, data), header + bytes({0x00, 0x01, 0x02, 0x06}) + data);
}

} // namespace
} // namespace kelvarin::triggerTesting
