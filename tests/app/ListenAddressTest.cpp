#include "app/ListenAddress.hpp"

#include "support/FailureText.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace kelvarin::triggerTesting::test
{
namespace
{

using testSupport::failureOf;

std::string parsed(std::string const& text)
{
    std::ostringstream out;
    out << parseListenAddress(text);
    return out.str();
}

TEST(ListenAddress, NumericAddressesOfBothFamiliesWithAPort)
{
    EXPECT_EQ(parsed("127.0.0.1:9120"), "127.0.0.1:9120");
    EXPECT_EQ(parsed("0.0.0.0:1"), "0.0.0.0:1");
    EXPECT_EQ(parsed("[::1]:65535"), "[::1]:65535");
    EXPECT_EQ(parsed("[::]:9120"), "[::]:9120");
    EXPECT_TRUE(parseListenAddress("[::1]:9120").address().is_v6());
}

TEST(ListenAddress, AnythingElseNamesTheKeyAndTheValue)
{
    EXPECT_EQ(failureOf<std::runtime_error>([] { parseListenAddress("localhost:9120"); }),
              "metrics.listen: \"localhost:9120\" is not an address and port such as "
              "127.0.0.1:9120 or [::1]:9120");
    for (char const* text : {"9120", "127.0.0.1", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                             "127.0.0.1:99999999999999999999", "127.0.0.1:+80", "127.0.0.1:8o",
                             "::1:9120", "[::1]9120", "[::1]:", "[127.0.0.1]:9120", "[::1:9120",
                             ":9120", "", "127.0.0.1:9120 "})
        EXPECT_NE(failureOf<std::runtime_error>([&] { parseListenAddress(text); })
                      .find("is not an address and port"),
                  std::string::npos)
            << text;
}

} // namespace
} // namespace kelvarin::triggerTesting::test
