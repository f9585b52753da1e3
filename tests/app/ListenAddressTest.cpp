#include "app/ListenAddress.hpp"

#include "support/Helpers.hpp"

#include <gtest/gtest.h>

#include <string>

namespace kelvarin::triggerTesting
{
namespace
{

using testSupport::failureOf;

TEST(ListenAddressTest, NumericAddressAndPortOnly)
{
    using boost::asio::ip::make_address;
    using boost::asio::ip::tcp;
    EXPECT_EQ(parseListenAddress("0.0.0.0:65535"), tcp::endpoint(make_address("0.0.0.0"), 65535));
    EXPECT_EQ(parseListenAddress("[::]:1"), tcp::endpoint(make_address("::"), 1));
    for (char const *text :
         {"9120", "127.0.0.1:0", "127.0.0.1:65536", "127.0.0.1:99999999999999999999",
          "127.0.0.1:+80", "::1:9120", "[::1]9120", "[127.0.0.1]:9120", "[::1:9120", ":9120"})
        EXPECT_NE(failureOf([&] { parseListenAddress(text); }).find("is not an address and port"),
                  std::string::npos)
            << text;
}

} // namespace
} // namespace kelvarin::triggerTesting
