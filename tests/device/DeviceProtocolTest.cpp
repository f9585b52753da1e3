#include "device/DeviceProtocol.hpp"

#include "support/FailureText.hpp"

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

// Magic (ignored on input), type 1, unit id 256, MAC 00 1a 2b 3c 4d 5e.
std::string registerMessage(std::string magic = bytes({0, 0, 0, 0}))
{
    return magic + bytes({1, 0, 0, 0, 0, 0, 0, 1, 0, 0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e});
}

constexpr char const *requestIdText = "0123abcd-4567-89ef-fedc-ba9876543210";
std::string const requestIdBytes = bytes({0x01, 0x23, 0xab, 0xcd, 0x45, 0x67, 0x89, 0xef, 0xfe,
                                          0xdc, 0xba, 0x98, 0x76, 0x54, 0x32, 0x10});

std::string resultMessage(unsigned flags, std::string const &text)
{
    return bytes({0xde, 0xad, 0xbe, 0xef, 2}) + requestIdBytes + bytes({flags, 9, 9, 9, 9}) + text;
}

template <typename Decode> std::string failureOf(Decode decode, std::string const &message)
{
    return testSupport::failureOf<std::runtime_error>([&] { decode(message); });
}

std::string registerFailure(std::string const &message)
{
    return failureOf(decodeRegisterMessage, message);
}

std::string resultFailure(std::string const &message)
{
    return failureOf(decodeResultMessage, message);
}

TEST(RegisterMessageTest, DecodesBigEndianUnitIdAndMacInOrder)
{
    for (auto const &magic : {bytes({0, 0, 0, 0}), bytes({0x46, 0x9b, 0x34, 0xa5}), "abcd"s})
    {
        auto const decoded = decodeRegisterMessage(registerMessage(magic));
        EXPECT_EQ(decoded.unitId, 256u);
        EXPECT_EQ(decoded.mac.toString(), "001A2B3C4D5E");
    }
    auto const largest =
        bytes({0, 0, 0, 0, 1, 0xff, 0xfe, 0xfd, 0xfc, 0xfb, 0xfa, 0xf9, 0xf8, 6, 5, 4, 3, 2, 1});
    EXPECT_EQ(decodeRegisterMessage(largest).unitId, 0xfffefdfcfbfaf9f8u);
    EXPECT_EQ(decodeRegisterMessage(largest).mac.toString(), "060504030201");
}

TEST(RegisterMessageTest, WrongTypeIsReportedAsSignedBeforeTheSize)
{
    auto typed = [](unsigned type, std::size_t size)
    {
        auto message = registerMessage();
        message[4] = static_cast<char>(type);
        message.resize(size, '\0');
        return message;
    };
    EXPECT_EQ(registerFailure(typed(2, 19)),
              "Bad validate - wrong message type: [2] not matching [1]");
    EXPECT_EQ(registerFailure(typed(2, 20)),
              "Bad validate - wrong message type: [2] not matching [1]");
    EXPECT_EQ(registerFailure(typed(0xff, 19)),
              "Bad validate - wrong message type: [-1] not matching [1]");
    EXPECT_EQ(registerFailure(typed(0x80, 5)),
              "Bad validate - wrong message type: [-128] not matching [1]");
}

TEST(RegisterMessageTest, WrongSizeNamesBothLengths)
{
    EXPECT_EQ(registerFailure(registerMessage() + "x"),
              "Bad validate - wrong size: [20] not matching [19]");
    EXPECT_EQ(registerFailure(registerMessage().substr(0, 18)),
              "Bad validate - wrong size: [18] not matching [19]");
    EXPECT_EQ(registerFailure(registerMessage().substr(0, 5)),
              "Bad validate - wrong size: [5] not matching [19]");
}

TEST(RegisterMessageTest, MessageWithoutTypeByteIsRefused)
{
    EXPECT_EQ(registerFailure(""), "Bad validate - message too short: [0] bytes");
    EXPECT_EQ(registerFailure(bytes({0, 0, 0, 1})), "Bad validate - message too short: [4] bytes");
}

TEST(ResultMessageTest, DecodesRequestIdFlagAndBinaryText)
{
    auto const text = "{\"a\":1}\0\0tail"s;
    auto const decoded = decodeResultMessage(resultMessage(0x03, text));
    EXPECT_EQ(decoded.requestId, boost::uuids::string_generator{}(requestIdText));
    EXPECT_TRUE(decoded.isLast);
    EXPECT_EQ(decoded.text, text);
    EXPECT_EQ(decoded.text.size(), 13u);
}

TEST(ResultMessageTest, OnlyBitZeroMarksTheLastResult)
{
    EXPECT_FALSE(decodeResultMessage(resultMessage(0x02, "x")).isLast);
    EXPECT_FALSE(decodeResultMessage(resultMessage(0x00, "x")).isLast);
    EXPECT_TRUE(decodeResultMessage(resultMessage(0x01, "x")).isLast);
    EXPECT_TRUE(decodeResultMessage(resultMessage(0xff, "x")).isLast);
}

TEST(ResultMessageTest, NeedsTypeTwoAndAtLeastOneTextByte)
{
    auto const shortest = resultMessage(0, "z");
    ASSERT_EQ(shortest.size(), 27u);
    EXPECT_EQ(decodeResultMessage(shortest).text, "z");
    EXPECT_EQ(decodeResultMessage(resultMessage(0, "\0"s)).text, "\0"s);

    EXPECT_EQ(resultFailure(resultMessage(0, "")), "Bad results");
    auto wrongType = resultMessage(0, "text");
    wrongType[4] = '\x01';
    EXPECT_EQ(resultFailure(wrongType), "Bad results");
    EXPECT_EQ(resultFailure(""), "Bad results");
    EXPECT_EQ(resultFailure(bytes({0, 0, 0, 0})), "Bad results");
}

TEST(ValidationAnswerTest, SixBytesWithMagicTypeAndVerdict)
{
    EXPECT_EQ(encodeValidationAnswer(true), bytes({0x46, 0x9b, 0x34, 0xa5, 0x01, 0x01}));
    EXPECT_EQ(encodeValidationAnswer(false), bytes({0x46, 0x9b, 0x34, 0xa5, 0x01, 0x00}));
}

TEST(RunMessageTest, HeaderThenUuidInStorageOrderThenBigEndianLengthAndData)
{
    auto const id = boost::uuids::string_generator{}(requestIdText);
    auto const header = bytes({0x46, 0x9b, 0x34, 0xa5, 0x02}) + requestIdBytes;

    EXPECT_EQ(encodeRunMessage(id, ""), header + bytes({0, 0, 0, 0}));
    EXPECT_EQ(encodeRunMessage(id, "").size(), 25u);
    EXPECT_EQ(encodeRunMessage(id, "abc"), header + bytes({0, 0, 0, 3, 0x61, 0x62, 0x63}));

    auto const data = std::string(0x10203, '\0') + "end";
    auto const longMessage = encodeRunMessage(id, data);
    EXPECT_EQ(longMessage.substr(21, 4), bytes({0x00, 0x01, 0x02, 0x06}));
    EXPECT_EQ(longMessage.substr(25), data);
}

} // namespace
} // namespace kelvarin::triggerTesting
