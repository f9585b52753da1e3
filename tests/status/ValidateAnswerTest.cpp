#include "status/ValidateAnswer.hpp"

#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <utility>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::failureOf;

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

} // namespace
} // namespace kelvarin::triggerTesting
