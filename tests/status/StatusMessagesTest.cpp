#include "status/StatusMessages.hpp"

#include "status/EtherAddr.hpp"

#include <gtest/gtest.h>

#include <limits>

namespace kelvarin::triggerTesting
{
namespace
{

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

} // namespace
} // namespace kelvarin::triggerTesting
