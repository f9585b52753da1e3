#include "common/EndpointText.hpp"

#include <gtest/gtest.h>

namespace kelvarin::triggerTesting
{
namespace
{

TEST(EndpointTextTest, EndpointsGoToTextAndBack)
{
    for (auto const *text : {"127.0.0.2:10002", "[::1]:65535", "0.0.0.0:0", "203.0.113.255:40512"})
    {
        auto const endpoint = parseEndpointText(text);
        ASSERT_TRUE(endpoint) << text;
        EXPECT_EQ(endpointText(*endpoint), text);
    }
    for (auto const *text : {"", "127.0.0.1", "127.0.0.1:", "127.0.0.1:65536", "x:1", "::1:5x"})
        EXPECT_FALSE(parseEndpointText(text)) << text;
}

} // namespace
} // namespace kelvarin::triggerTesting
