#include "api/APISessionMessages.hpp"

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting
{
namespace
{

TEST(APISessionMessagesTest, RegistrationQuotesTheHostNameAndAnswersNameTheUnit)
{
    EXPECT_EQ(buildRegistrationMessage("a\"b\\c"),
              "{\"type\":\"register\",\"data\":{\"name\":\"a\\\"b\\\\c\"}}");
    EXPECT_EQ(buildIsOnlineAnswer(18446744073709551615UL, false),
              "{\"type\":\"isOnline\",\"data\":{\"unit_id\":18446744073709551615,"
              "\"result\":false}}");
}

} // namespace
} // namespace kelvarin::triggerTesting
