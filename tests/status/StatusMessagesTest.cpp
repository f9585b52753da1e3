#include "status/StatusMessages.hpp"

#include "status/DisconnectionMessage.hpp"
#include "status/EtherAddr.hpp"
#include "status/ValidateAnswer.hpp"
#include "status/ValidateMessage.hpp"
#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::failureOf;
using namespace std::chrono_literals;

TEST(StatusMessagesTest, RegistrationQuotesTheHostNameAndValidationNamesUnitAndMac)
{
    EXPECT_EQ(
        buildValidatorRegistration("lab\"7\\b"),
        "{\"type\":\"register\",\"data\":{\"is_validator\":true,\"name\":\"lab\\\"7\\\\b\"}}");
    EXPECT_EQ(
        buildValidateRequest(std::numeric_limits<unsigned long>::max(),
                             EtherAddr{EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0xff}}),
        "{\"type\":\"validate\",\"data\":{\"unit_id\":18446744073709551615,"
        "\"mac\":\"001A2B3C4DFF\"}}");
}

std::string answerText(std::string const &data)
{
    return "{\"type\":\"validate\",\"data\":{" + data + "}}";
}

TEST(ValidateAnswerTest, GoodAnswerGivesItsKeyAndVerdict)
{
    auto const answer =
        parseValidateAnswer(answerText("\"unit_id\":42,\"mac\":\"001a2B3c4D5e\",\"result\":true"));
    EXPECT_EQ(answer.key.unitId, 42u);
    EXPECT_EQ(answer.key.mac.bytes, (EtherAddr::Octets{0x00, 0x1a, 0x2b, 0x3c, 0x4d, 0x5e}));
    EXPECT_TRUE(answer.requireResult());

    // Member order does not matter, further members are ignored, the largest unit id fits.
    auto const refusal = parseValidateAnswer(
        "{\"data\":{\"result\":false,\"extra\":[1],\"mac\":\"FFFFFFFFFFFF\","
        "\"unit_id\":18446744073709551615},\"type\":\"validate\",\"more\":null}");
    EXPECT_EQ(refusal.key.unitId, 18446744073709551615u);
    EXPECT_EQ(refusal.key.mac.toString(), "FFFFFFFFFFFF");
    EXPECT_FALSE(refusal.requireResult());
}

TEST(ValidateAnswerTest, FailuresHaveTheirTexts)
{
    std::string const unitIdError = "There is no valid \"unit_id\"";
    std::string const formatError = "Tried to create an EtherAddr from an invalid format";
    std::string const mac = ",\"mac\":\"001A2B3C4D5E\",\"result\":true";
    std::pair<std::string, std::string> const cases[] = {
        {"not json", "Invalid JSON"},
        {testSupport::nestedArrays(1000000), "Invalid JSON"},
        {"[42]", "Invalid message"},
        {"{\"type\":\"validate\",\"data\":[]}", "There is no valid \"data\""},
        {"{\"type\":\"Validate\",\"data\":{\"unit_id\":42,\"result\":true}}",
         "Invalid Validate message"},
        {answerText("\"mac\":\"001A2B3C4D5E\",\"result\":true"), unitIdError},
        {answerText("\"unit_id\":-1" + mac), unitIdError},
        {answerText("\"unit_id\":18446744073709551616" + mac), unitIdError},
        // Checked before the MAC: a message wrong in both names the unit id.
        {answerText("\"unit_id\":null,\"mac\":7"), unitIdError},
        {answerText("\"unit_id\":42,\"mac\":1,\"result\":true"), "There is no valid \"mac\""},
        {answerText("\"unit_id\":42,\"mac\":\"00:1a:2b:3c:4d:5e\",\"result\":true"), formatError},
        // The MAC ends at an escaped NUL, so what is left is too short.
        {answerText("\"unit_id\":42,\"mac\":\"001A2B\\u00003C4D5E\",\"result\":true"), formatError},
    };
    for (auto const &[text, error] : cases)
        EXPECT_EQ(failureOf<std::runtime_error>([&] { parseValidateAnswer(text); }), error) << text;
}

TEST(ValidateAnswerTest, MissingOrNonBooleanResultKeepsTheKeyButHasNoVerdict)
{
    for (std::string const result :
         {"", ",\"result\":\"true\"", ",\"result\":1", ",\"result\":null"})
    {
        auto const answer =
            parseValidateAnswer(answerText("\"unit_id\":43,\"mac\":\"001A2B3C4D5E\"" + result));
        EXPECT_EQ(answer.key.unitId, 43u) << result;
        EXPECT_FALSE(answer.result.has_value()) << result;
        EXPECT_EQ(failureOf<std::runtime_error>([&] { answer.requireResult(); }),
                  "There is no valid \"result\"")
            << result;
    }
}

ValidateMessage::IdType key(std::uint64_t unitId, EtherAddr::Octets octets)
{
    return {unitId, EtherAddr{octets}};
}

TEST(ValidateMessageKeyTest, UnitIdDecidesFirstThenTheOctetsAsUnsigned)
{
    EXPECT_TRUE(key(1, {0xff, 0, 0, 0, 0, 0}) < key(2, {0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(key(0x7fffffffffffffff, {}) < key(0x8000000000000000, {}));
    EXPECT_FALSE(key(5, {0x80, 0, 0, 0, 0, 0}) < key(5, {0x7f, 0xff, 0xff, 0xff, 0xff, 0xff}));
    EXPECT_FALSE(key(9, {1, 2, 3, 4, 5, 6}) < key(9, {1, 2, 3, 4, 5, 6}));
}

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

std::chrono::system_clock::time_point at(std::chrono::nanoseconds sinceEpoch)
{
    return std::chrono::system_clock::time_point{
        std::chrono::duration_cast<std::chrono::system_clock::duration>(sinceEpoch)};
}

TEST(DisconnectionMessageTest, ReasonUtcTimeWithoutFractionAndUnitId)
{
    EXPECT_EQ(prepareDisconnectionMessage(7, timeout, at(59s + 999999999ns)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"timeout\","
              "\"dtime_utc\":\"1970-01-01T00:00:59\",\"unit_id\":7}");
    // 2024-03-01T12:34:56Z, the day after a leap day.
    EXPECT_EQ(prepareDisconnectionMessage(std::numeric_limits<unsigned long>::max(), clean,
                                          at(1709296496s + 500ms)),
              "{\"type\":\"unit_disconnect\",\"reason\":\"clean\","
              "\"dtime_utc\":\"2024-03-01T12:34:56\",\"unit_id\":18446744073709551615}");
    // Any reason but clean is a timeout.
    EXPECT_EQ(prepareDisconnectionMessage(1, static_cast<disconnection_reason>(5), at(0s)),
              prepareDisconnectionMessage(1, timeout, at(0s)));
}

} // namespace
} // namespace kelvarin::triggerTesting
